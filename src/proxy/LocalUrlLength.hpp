#pragma once
// Any thread: immutable once made.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/url/UrlReference.hpp"

namespace ombrelia {

// How long the local URL of a reference would be (ReverseProxyURL::make), worked out without
// building it or the reference's URL. The playlist's own URL is measured once, up to each "/"
// of its path; a reference then costs only its own length. So a URI whose local URL would be
// too long is left as written at the cost of its own length, however long the playlist's URL
// (100,000 short URIs under a 60 KB redirect target would otherwise build 100,000 URLs of
// 60 KB, and their local forms, to throw each away).
class LocalUrlLength {
 public:
  struct Figures {
    size_t originBytes = 0;  // the reference's URL, without user name and password
    size_t localBytes = 0;   // as ReverseProxyURL::localLength() measures its local URL
    // What the local URL writes after that: its fragment with the "#", escaped as our server
    // takes it; 0 without one.
    size_t localFragmentBytes = 0;
  };

  explicit LocalUrlLength(const UrlReference& base);

  Figures of(const UrlReference::Resolution& resolved) const;

 private:
  // A piece of an origin URL as the local URL writes it.
  struct Measure {
    size_t taken = 0;           // bytes as our server takes them: an escaped byte takes three
    size_t escapes = 0;         // escapes in that form
    size_t inValue = 0;         // bytes as the "__hls_origin_url" value writes them
    bool decodesToUtf8 = true;  // its escapes decoded (a path's)

    Measure& operator+=(const Measure& other);
  };
  // Bytes `from` to `to` of `text`; an escape may read on past `to`.
  static Measure measure(std::string_view text, size_t from, size_t to);
  static Measure measure(std::string_view text) { return measure(text, 0, text.size()); }
  static std::string headOf(const UrlRecord& url);
  // The base's path up to `length` bytes, from what was measured once.
  Measure basePath(size_t length) const;

  std::string path_;               // the base's path
  std::vector<uint32_t> slashes_;  // where each "/" of it stands
  std::vector<Measure> before_;    // the path before each "/"
  Measure wholePath_;
  std::string query_;  // the base's query, when it has one
  bool hasQuery_ = false;
  Measure queryMeasure_;
  std::string head_;  // "scheme://host:port", without user name and password
  size_t headInValue_ = 0;
};

}  // namespace ombrelia
