#pragma once
// Any thread: stateless.

#include "proxy/HTTPLoader.hpp"

namespace ombrelia {

// Tells a playlist by what the origin sent rather than by its path: some origins serve
// playlists from paths without ".m3u8".
class PlaylistContent {
 public:
  // A 200 answer typed as a playlist, or whose body starts with the playlist header (after a
  // byte-order mark, if any).
  static bool looksLikePlaylist(const HTTPLoader::Response& response);

  // The most lines a playlist may have. Each step that reads one (the store's parse, the
  // pinner, the rewriter) holds a record for every line, and parsed segments stay stored: 60 MiB
  // of one-line segments, or of empty lines (60 to 120 KB on the wire, gzip-compressed), made
  // the viewer hold 1.5 GB. A day of 1-second segments, each with its duration, URI and date,
  // is 259,200 lines.
  static constexpr size_t kMaxLines = 512 * 1024;
};

}  // namespace ombrelia
