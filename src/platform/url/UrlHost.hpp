#pragma once
// Any thread: stateless.

#include <string>
#include <string_view>

#include "platform/Expected.hpp"

namespace ombrelia {

// The host of an http(s) URL as browsers read it: percent-escapes decoded, ASCII letters made
// lower case, numbers read as IPv4 addresses, bracketed text as IPv6, and the characters no host
// name may hold refused.
class UrlHost {
 public:
  UrlHost() = delete;

  enum class Refusal {
    invalid,   // no host
    needsIdna  // non-ASCII letters or an "xn--" label: only IDNA can tell what host they name
  };

  // The host as a URL writes it (an IPv6 address in brackets), from the text of the authority.
  static Expected<std::string, Refusal> parse(std::string_view written);

 private:
  // What no host name may hold, after its escapes are decoded: controls, space, "%", DEL and
  // the URL's own delimiters.
  static bool isForbiddenInDomain(unsigned char c);
};

}  // namespace ombrelia
