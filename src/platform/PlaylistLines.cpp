#include "platform/PlaylistLines.hpp"

namespace ombrelia::platform {

std::vector<std::string_view> splitPlaylistLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t separator = 0;
    if (c == '\n' || c == '\v' || c == '\f') {
      separator = 1;
    } else if (c == '\r') {
      separator = (i + 1 < n && text[i + 1] == '\n') ? 2 : 1;
    } else if (c == 0xC2 && i + 1 < n && static_cast<unsigned char>(text[i + 1]) == 0x85) {
      separator = 2;
    } else if (c == 0xE2 && i + 2 < n && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      separator = 3;
    }
    if (separator == 0) {
      ++i;
      continue;
    }
    lines.push_back(text.substr(start, i - start));
    i += separator;
    start = i;
  }
  lines.push_back(text.substr(start));
  return lines;
}

}  // namespace ombrelia::platform
