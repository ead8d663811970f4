#pragma once
// Any thread: a value type; reading is const.

#include <optional>
#include <string>
#include <string_view>

#include <ombrelia/Url.hpp>

#include "platform/Expected.hpp"

namespace ombrelia {

// A URI as a playlist writes it (a URI line or a URI attribute), read the way players read it:
// they hand it to a browser's URL parser, which forgives what RFC 3986 does not. So must we, or
// the player fetches what we left unrewritten from the proxy itself. The proxy and the segment
// store read through this one class, so both name a segment by the same URL.
class UrlReference {
 public:
  // Why a reference gives no URL the proxy may fetch.
  enum class Refusal {
    notHttp,   // another scheme (skd:, data:, ftp:): not ours to fetch
    invalid,   // no URL at all
    needsIdna  // a host with non-ASCII letters, which only IDNA could turn into a host name
  };

  // References are read against `base`, the playlist's own URL.
  explicit UrlReference(const Url& base);

  // The absolute http(s) URL the reference names.
  Expected<Url, Refusal> resolve(std::string_view written) const;
  // An absolute http(s) URL read on its own, with no base (an origin URL, a redirect's target).
  static Expected<Url, Refusal> read(std::string_view written);

  // The text without the spaces and controls around it.
  static std::string_view trimmed(std::string_view text);

 private:
  // The text as a browser's URL parser would send it; absent when it names nothing.
  static std::optional<std::string> lenientText(std::string_view written);
  static std::optional<Url> lenient(std::string_view written);

  Url base_;
};

}  // namespace ombrelia
