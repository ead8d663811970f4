#include "platform/LineSplitter.hpp"

#include <array>

namespace ombrelia {
namespace {

// Bytes at which a line break can start: LF, VT, FF, CR, and the lead bytes of U+0085 (C2 85)
// and of U+2028 and U+2029 (E2 80 A8, E2 80 A9). Lead bytes never occur inside another UTF-8
// character, so a byte-wise scan splits on code points: the 85 of "Å" (C3 85) is no break.
constexpr std::array<bool, 256> kBreakStart = [] {
  std::array<bool, 256> table{};
  for (unsigned char c : {'\n', '\v', '\f', '\r'}) table[c] = true;
  table[0xC2] = true;
  table[0xE2] = true;
  return table;
}();

bool isBreakStart(unsigned char c) { return kBreakStart[c]; }

}  // namespace

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

namespace {

template <typename Sink>
void forEachLine(std::string_view text, Sink&& sink) {
  size_t start = 0;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    if (!isBreakStart(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    const size_t length = LineSplitter::breakLength(text, i);
    if (length == 0) {
      ++i;
      continue;
    }
    sink(text.substr(start, i - start));
    i += length;
    start = i;
  }
  sink(text.substr(start));
}

}  // namespace

std::vector<std::string_view> LineSplitter::split(std::string_view text) {
  std::vector<std::string_view> lines;
  // Playlist lines are rarely shorter than this, so one allocation usually suffices.
  lines.reserve(text.size() / 24 + 1);
  forEachLine(text, [&lines](std::string_view line) { lines.push_back(line); });
  return lines;
}

size_t LineSplitter::split(std::string_view text, std::string_view* out, size_t capacity) {
  size_t count = 0;
  forEachLine(text, [&](std::string_view line) {
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
