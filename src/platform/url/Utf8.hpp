#pragma once
// Any thread: stateless.

#include <string>
#include <string_view>

namespace ombrelia {

// The one UTF-8 check of the library: playlists, signalling and peer texts, JSON documents and
// the web server's form fields all arrive as bytes that must be UTF-8, and all of them are held
// to the same strict reading so no layer accepts what another refuses.
class Utf8 {
 public:
  Utf8() = delete;
  // Well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
  static bool isValid(std::string_view bytes);
  // The text with each byte that starts no well-formed sequence replaced by U+FFFD, so that it
  // can always be written where UTF-8 is required (JSON).
  static std::string valid(std::string_view bytes);
  // The byte-order mark some editors write at the start of a text (U+FEFF). It says nothing in
  // UTF-8, and a text tested for what it begins with must look past it.
  static constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  static std::string_view withoutByteOrderMark(std::string_view bytes) {
    return bytes.starts_with(kByteOrderMark) ? bytes.substr(kByteOrderMark.size()) : bytes;
  }

 private:
  // The length of the well-formed sequence at `i`, 0 when there is none.
  static size_t sequenceLength(std::string_view bytes, size_t i);
};

}  // namespace ombrelia
