#pragma once
// Any thread: a value type; reading is const.

#include <optional>
#include <string_view>

#include <ombrelia/Url.hpp>

#include "platform/Expected.hpp"
#include "platform/url/UrlParser.hpp"
#include "platform/url/UrlRecord.hpp"

namespace ombrelia {

// A URI as a playlist writes it (a URI line or a URI attribute), read the way players read it:
// through the URL parser of browsers and Node.js (UrlParser), against the playlist's
// own URL. Otherwise the player fetches what we read differently, or left unrewritten, from
// somewhere we did not mean. The proxy and the segment store read through this one class, so
// both name a segment by the same URL.
class UrlReference {
 public:
  using Refusal = UrlParser::Refusal;

  // References are read against `base`, the playlist's own URL, itself read as a player reads
  // it. A base the standard refuses leaves only absolute references readable.
  explicit UrlReference(const Url& base);

  // The absolute http(s) URL the reference names, every component as a browser writes it.
  Expected<Url, Refusal> resolve(std::string_view written) const;
  // An absolute http(s) URL read on its own, with no base (an origin URL, a redirect's target).
  static Expected<Url, Refusal> read(std::string_view written);

  // The text without the spaces and controls around it.
  static std::string_view trimmed(std::string_view text);

 private:
  std::optional<UrlRecord> base_;
};

}  // namespace ombrelia
