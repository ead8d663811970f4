#pragma once
// Any thread: stateless.

#include <string_view>

namespace ombrelia {

// Playlists are UTF-8 text; bytes that are not are refused rather than guessed at.
class Utf8 {
 public:
  Utf8() = delete;
  // Well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
  static bool isValid(std::string_view bytes);
};

}  // namespace ombrelia
