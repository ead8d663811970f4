#pragma once
// Any thread: stateless.

#include <optional>
#include <string>
#include <string_view>

#include <ombrelia/Url.hpp>

namespace ombrelia {

// A URI as a playlist writes it (a URI line or a URI attribute), read the way players read it:
// they hand it to a browser's URL parser, which forgives what RFC 3986 does not. So must we, or
// the player fetches what we left unrewritten from the proxy itself.
class UrlReference {
 public:
  UrlReference() = delete;

  // A reference valid as written is taken exactly as written, so signed queries keep every
  // escape and "+". Otherwise the surrounding spaces and controls are trimmed, tabs dropped,
  // "\" read as "/" before the query of an http(s) reference, and every byte a URI cannot hold
  // (spaces, controls, non-ASCII, '"', "<", ">", "`", "{", "}", "\", a "%" that starts no
  // escape) percent-encoded outside the authority; an existing %XX is never touched. Absent
  // when even that is no reference, or when nothing but a comment or tag is left.
  static std::optional<Url> read(std::string_view written);

  // The text without the spaces and controls around it.
  static std::string_view trimmed(std::string_view text);

 private:
  // The text as a browser's URL parser would send it; absent when it names nothing.
  static std::optional<std::string> lenientText(std::string_view written);
};

}  // namespace ombrelia
