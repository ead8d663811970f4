#include "proxy/RewrittenText.hpp"

#include <algorithm>

namespace ombrelia {

RewrittenText::RewrittenText(size_t maxBytes, size_t expected) : maxBytes_(maxBytes) {
  blocks_.emplace_back().reserve(std::min(expected, maxBytes));
}

void RewrittenText::append(std::string_view piece) {
  if (passed_ || piece.size() > maxBytes_ - size_) {
    passed_ = true;
    return;
  }
  size_ += piece.size();
  while (!piece.empty()) {
    std::string* block = &blocks_.back();
    if (block->size() == block->capacity()) {
      block = &blocks_.emplace_back();
      block->reserve(kBlockBytes);
    }
    const size_t taken = std::min(piece.size(), block->capacity() - block->size());
    block->append(piece.substr(0, taken));
    piece.remove_prefix(taken);
  }
}

std::string RewrittenText::take() && {
  if (blocks_.size() == 1) return std::move(blocks_.front());
  std::string whole;
  whole.reserve(size_);
  for (std::string& block : blocks_) {
    whole.append(block);
    std::string().swap(block);
  }
  return whole;
}

std::vector<std::string> RewrittenText::takePieces() && {
  std::erase_if(blocks_, [](const std::string& block) { return block.empty(); });
  // The last piece's room was made for what the text might take: what it does not use is given
  // back before the pieces are held until written.
  if (!blocks_.empty() && blocks_.back().capacity() / 4 > blocks_.back().size() / 3) {
    blocks_.back().shrink_to_fit();
  }
  return std::move(blocks_);
}

}  // namespace ombrelia
