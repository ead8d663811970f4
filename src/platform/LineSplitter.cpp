#include "platform/LineSplitter.hpp"

namespace ombrelia {

size_t LineSplitter::breakLength(std::string_view text, size_t i) {
  const auto c = static_cast<unsigned char>(text[i]);
  switch (c) {
    case '\n':
    case '\v':
    case '\f':
      return 1;
    case '\r':
      return (i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
    case 0xC2:
      return (i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) ? 2 : 0;
    case 0xE2:
      if (i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80) {
        const auto third = static_cast<unsigned char>(text[i + 2]);
        if (third == 0xA8 || third == 0xA9) return 3;
      }
      return 0;
    default:
      return 0;
  }
}

std::vector<std::string_view> LineSplitter::split(std::string_view text) {
  std::vector<std::string_view> lines;
  // Counted first: room guessed from the text's size is too much for long lines (signed URIs
  // of 2 KB made room for 80 times the lines there were) and too little for short ones, where
  // growing holds the old room and the new at once.
  lines.reserve(count(text));
  forEach(text, [&lines](std::string_view line) { lines.push_back(line); });
  return lines;
}

size_t LineSplitter::split(std::string_view text, std::string_view* out, size_t capacity) {
  size_t count = 0;
  forEach(text, [&](std::string_view line) {
    if (count < capacity) out[count] = line;
    ++count;
  });
  return count;
}

std::vector<std::string> LineSplitter::splitCopy(std::string_view text) {
  std::vector<std::string> out;
  for (std::string_view line : split(text)) out.emplace_back(line);
  return out;
}

}  // namespace ombrelia
