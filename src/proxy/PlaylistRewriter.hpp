#pragma once
// Any thread: pure functions.

#include <optional>
#include <string>
#include <string_view>

#include <ombrelia/Data.hpp>
#include <ombrelia/Url.hpp>

#include "platform/url/UrlReference.hpp"

namespace ombrelia {

class OriginCredentials;

// Rewrites a playlist so that every URI in it points back at the local proxy: URI lines and
// every URI="..." attribute of tag lines are read as players read them (UrlReference), resolved
// against the playlist's own URL (the final URL of its fetch), then turned into reverse-proxy
// URLs.
class PlaylistRewriter {
 public:
  // Credentials written into the playlist's URIs go to `credentials` (when given), never into
  // the rewritten lines.
  explicit PlaylistRewriter(int port, OriginCredentials* credentials = nullptr)
      : port_(port), credentials_(credentials) {}

  // The playlist with its lines joined by "\n". URIs that cannot be resolved stay as written,
  // and each is logged; one that may hold a user name and password (it has an "@") is left out.
  std::string rewrite(std::string_view playlist, const Url& base) const;

  std::string processLine(std::string_view line, const Url& base) const;

 private:
  std::string processLine(std::string_view line, const UrlReference& references) const;
  std::string lineByReplacingURIs(std::string_view line, const UrlReference& references) const;
  // The local URL for one reference, or absent when it must stay as written (another scheme
  // such as skd: or data:, or not a valid reference), or empty when it must be left out.
  std::optional<std::string> proxiedReference(std::string_view reference,
                                              const UrlReference& references) const;

  int port_;
  OriginCredentials* credentials_;
};

}  // namespace ombrelia
