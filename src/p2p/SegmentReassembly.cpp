#include "p2p/SegmentReassembly.hpp"

#include <algorithm>
#include <iterator>

namespace ombrelia {

SegmentReassembly::Result SegmentReassembly::add(uint64_t offset, std::string_view payload) {
  const uint64_t length = payload.size();
  // Written without an addition that could wrap: offset + length <= size.
  if (offset > size_ || length > size_ - offset) return Result::rejected;
  if (length == 0) return Result::repeated;
  const uint64_t start = offset;
  const uint64_t end = offset + length;

  // The ranges that overlap or touch [start, end) are merged into one.
  auto first = ranges_.upper_bound(start);
  if (first != ranges_.begin() && std::prev(first)->second >= start) --first;
  auto last = first;
  uint64_t mergedStart = start;
  uint64_t mergedEnd = end;
  uint64_t alreadyCovered = 0;
  while (last != ranges_.end() && last->first <= end) {
    const uint64_t overlapStart = std::max(start, last->first);
    const uint64_t overlapEnd = std::min(end, last->second);
    if (overlapEnd > overlapStart) alreadyCovered += overlapEnd - overlapStart;
    mergedStart = std::min(mergedStart, last->first);
    mergedEnd = std::max(mergedEnd, last->second);
    ++last;
  }
  if (alreadyCovered == length) return Result::repeated;
  if (first == last && ranges_.size() >= kMaxRanges) return Result::rejected;

  if (bytes_.empty()) bytes_.assign(size_, uint8_t{0});
  std::copy(payload.begin(), payload.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
  received_ += length - alreadyCovered;
  ranges_.erase(first, last);
  ranges_.emplace(mergedStart, mergedEnd);
  return Result::added;
}

std::vector<uint8_t> SegmentReassembly::take() {
  ranges_.clear();
  received_ = 0;
  return std::move(bytes_);
}

}  // namespace ombrelia
