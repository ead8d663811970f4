#pragma once
// Any thread: stateless.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace ombrelia {

// The character classes both URL readers test, kept in one place: RFC 3986's, for the strict
// parser, and the percent-encode sets of the WHATWG URL Standard, for reading playlist
// references as players do.
class UriCharacters {
 public:
  UriCharacters() = delete;

  static constexpr bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
  static constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
  static constexpr bool isHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }
  static constexpr int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    return (c | 0x20) - 'a' + 10;
  }
  // The standard's percent-decode, as browsers decode a user name or password before they send
  // it: each escape is one byte, and a "%" that starts none stays as it is.
  static std::string percentDecoded(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
        decoded.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
        i += 2;
      } else {
        decoded.push_back(text[i]);
      }
    }
    return decoded;
  }
  static constexpr bool isUnreserved(char c) {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
  }
  // Upper-case hex in escapes, and escapes of unreserved characters decoded (RFC 3986 6.2.2),
  // appended to `out`. Each escape is read on its own, so text normalised piece by piece (cut
  // anywhere but inside an escape) comes out as the whole text would.
  static void appendNormalizedEscapes(std::string& out, std::string_view s) {
    // Copied a run at a time up to each "%": a signed query of kilobytes holds few escapes.
    size_t i = 0;
    while (i < s.size()) {
      const void* found = std::memchr(s.data() + i, '%', s.size() - i);
      const size_t at = found == nullptr
                            ? s.size()
                            : static_cast<size_t>(static_cast<const char*>(found) - s.data());
      out.append(s.data() + i, at - i);
      if (at == s.size()) return;
      i = at;
      if (i + 2 < s.size() && isHex(s[i + 1]) && isHex(s[i + 2])) {
        const auto decoded = static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
        if (isUnreserved(decoded)) {
          out.push_back(decoded);
        } else {
          out.push_back('%');
          out.push_back(upper(s[i + 1]));
          out.push_back(upper(s[i + 2]));
        }
        i += 3;
      } else {
        out.push_back('%');
        ++i;
      }
    }
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

  // The standard's percent-encode sets: what each URL component written by a browser escapes.
  // Bytes of non-ASCII code points are in every set.
  enum class EncodeSet : uint8_t {
    fragment = 1,      // C0 controls, non-ASCII, space " < > `
    query = 2,         // C0 controls, non-ASCII, space " # < >
    specialQuery = 4,  // query and ', for http(s)
    path = 8,          // query and ? ` { }
    userinfo = 16,     // path and / : ; = @ [ \ ] ^ |
  };
  static bool encodes(EncodeSet set, unsigned char c) {
    return (kEncodeSets[c] & static_cast<uint8_t>(set)) != 0;
  }

 private:
  static constexpr char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  static const std::array<uint8_t, 256> kEncodeSets;
};

namespace uri_characters_detail {

constexpr std::array<uint8_t, 256> makeEncodeSets() {
  constexpr uint8_t fragment = 1, query = 2, specialQuery = 4, path = 8, userinfo = 16;
  constexpr uint8_t all = fragment | query | specialQuery | path | userinfo;
  std::array<uint8_t, 256> sets{};
  for (int c = 0; c < 256; ++c) {
    if (c < 0x20 || c > 0x7E) sets[c] = all;
  }
  for (unsigned char c : {' ', '"', '<', '>'}) sets[c] = all;
  sets['`'] = fragment | path | userinfo;
  sets['#'] = query | specialQuery | path | userinfo;
  sets['\''] = specialQuery;
  for (unsigned char c : {'?', '{', '}'}) sets[c] = path | userinfo;
  for (unsigned char c : {'/', ':', ';', '=', '@', '[', '\\', ']', '^', '|'}) sets[c] = userinfo;
  return sets;
}

}  // namespace uri_characters_detail

inline constexpr std::array<uint8_t, 256> UriCharacters::kEncodeSets =
    uri_characters_detail::makeEncodeSets();

}  // namespace ombrelia
