#pragma once
// Any thread: a pure function.

#include <cstddef>
#include <string>

namespace ombrelia::test {

// A CloudFront-style signed query of `length` characters, as CDNs write into segment URLs.
inline std::string signedQuery(size_t length) {
  const std::string tail = "&Signature=Nw2-cL~qx9_Zk0&Key-Pair-Id=K";
  std::string query = "Policy=";
  const std::string filler = "eyJTdGF0ZW1lbnQiOlt7-_~";
  while (query.size() + tail.size() < length) query += filler[query.size() % filler.size()];
  return query + tail;
}

// An on-demand media playlist of `segments` 2 s segments, each URL signed with a query of
// `queryBytes`: a real playlist as large as a CDN's, whose segments the proxy rewrites.
inline std::string signedVodPlaylist(int segments, size_t queryBytes) {
  const std::string query = signedQuery(queryBytes);
  std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n";
  for (int n = 0; n < segments; ++n) {
    text += "#EXTINF:2,\nseg" + std::to_string(n % 4) + ".ts?n=" + std::to_string(n) + "&" + query +
            "\n";
  }
  return text + "#EXT-X-ENDLIST\n";
}

}  // namespace ombrelia::test
