#pragma once
// Any thread: stateless.

namespace ombrelia {

// The character classes of RFC 3986 that both the strict URL parser and the lenient reading of
// playlist URIs test, kept in one place so that what one encodes the other accepts.
class UriCharacters {
 public:
  UriCharacters() = delete;

  static constexpr bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
  static constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
  static constexpr bool isHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }
  // Bytes that may not appear unescaped anywhere in a reference: controls, space, non-ASCII and
  // the delimiters RFC 3986 excludes.
  static constexpr bool isExcluded(unsigned char c) {
    if (c <= 0x20 || c >= 0x7F) return true;
    switch (c) {
      case '"':
      case '<':
      case '>':
      case '\\':
      case '`':
      case '{':
      case '}':
        return true;
      default:
        return false;
    }
  }
};

}  // namespace ombrelia
