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
};

}  // namespace ombrelia
