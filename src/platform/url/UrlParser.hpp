#pragma once
// Any thread: stateless.

#include <string_view>

#include "platform/Expected.hpp"
#include "platform/url/UrlRecord.hpp"

namespace ombrelia {

// The WHATWG URL Standard's basic URL parser, as every browser and Node.js run it, for
// the two schemes the proxy fetches. Playlists are written for players that use this parser, so
// a line means what it gives: "seg_12:00.ts" is a path, "http:x.ts" is relative to an http base,
// "%2e%2e" climbs, and what it refuses no player fetches either.
class UrlParser {
 public:
  UrlParser() = delete;

  enum class Refusal {
    notHttp,   // a scheme other than http and https
    invalid,   // the standard refuses it
    needsIdna  // a host only IDNA could read (non-ASCII letters, or an "xn--" label)
  };

  // Parses `input` against `base` (null for none), which must itself be a parsed http(s) URL.
  // Works on bytes: a non-ASCII code point is escaped as its UTF-8 bytes, so text that is not
  // UTF-8 keeps its own bytes.
  static Expected<UrlRecord, Refusal> parse(std::string_view input, const UrlRecord* base);
};

}  // namespace ombrelia
