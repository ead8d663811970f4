#pragma once
// Any thread: plain values.

#include <algorithm>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace ombrelia {

// HTTP header names compare without regard to ASCII case.
struct WebServerCaseInsensitiveLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
      const unsigned char ca = asciiLower(static_cast<unsigned char>(a[i]));
      const unsigned char cb = asciiLower(static_cast<unsigned char>(b[i]));
      if (ca != cb)
        return ca < cb;
    }
    return a.size() < b.size();
  }
  static unsigned char asciiLower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
  }
  // Equality under the same ASCII case folding (header names, tokens, parameter names).
  static bool equals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (asciiLower(static_cast<unsigned char>(a[i])) !=
          asciiLower(static_cast<unsigned char>(b[i]))) {
        return false;
      }
    }
    return true;
  }
};

// Header name to value; names keep the spelling they were sent with, lookups ignore case.
using WebServerHeaders = std::map<std::string, std::string, WebServerCaseInsensitiveLess>;

// Query or form item name to value.
using WebServerQuery = std::map<std::string, std::string, std::less<>>;

} // namespace ombrelia
