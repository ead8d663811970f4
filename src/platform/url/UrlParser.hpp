#pragma once
// Any thread: stateless.

#include <cstdint>
#include <string_view>
#include <vector>

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

  // A base read once for many references, with where each "/" of its path stands: a reference
  // that climbs out of it ("../") then costs no walk along the path, however long.
  struct Base {
    explicit Base(UrlRecord url);
    UrlRecord url;
    std::vector<uint32_t> pathSlashes;  // ascending
  };

  // What a reference takes of its base. The URL it names is the base's scheme, user name,
  // password, host and port when `authority` (else its own), then the first `path` bytes of the
  // base's path followed by its own path, then the base's query when `query` (it then has no
  // path or query of its own), then its own query and fragment.
  struct Inherited {
    bool authority = false;
    size_t path = 0;
    bool query = false;
  };
  // A reference read against a base without copying anything from it: each reference of a
  // playlist then costs in proportion to its own length, not to its playlist's URL.
  struct Reading {
    UrlRecord own;  // its scheme and what it writes itself; only those parts the base leaves
    Inherited inherited;
  };

  // Parses `input` against `base` (null for none), which must itself be a parsed http(s) URL.
  // Works on bytes: a non-ASCII code point is escaped as its UTF-8 bytes, so text that is not
  // UTF-8 keeps its own bytes.
  static Expected<UrlRecord, Refusal> parse(std::string_view input, const UrlRecord* base);
  // The same reading, leaving in the base what the reference takes of it.
  static Expected<Reading, Refusal> read(std::string_view input, const Base* base);
  // The whole URL of a reading made against `base`.
  static UrlRecord whole(Reading reading, const UrlRecord* base);
};

}  // namespace ombrelia
