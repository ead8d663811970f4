#include "PlayerPlaylist.hpp"

#include <cstdlib>
#include <sstream>

namespace ombrelia::example {
namespace {

bool startsWith(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

}  // namespace

PlayerPlaylist PlayerPlaylist::parse(const std::string& text) {
  PlayerPlaylist playlist;
  std::istringstream in(text);
  int64_t sequence = 0;
  double duration = 0;
  bool ended = false;
  bool vod = false;
  bool variantNext = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] != '#') {
      if (variantNext) {
        // The proxy pinned one variant unless asked otherwise: follow the first.
        if (!playlist.firstVariant) playlist.firstVariant = line;
        variantNext = false;
      } else {
        playlist.segments.push_back({line, duration, sequence++});
        duration = 0;
      }
    } else if (startsWith(line, "#EXT-X-STREAM-INF")) {
      variantNext = true;
    } else if (startsWith(line, "#EXTINF:")) {
      duration = std::atof(line.c_str() + 8);
    } else if (startsWith(line, "#EXT-X-MEDIA-SEQUENCE:")) {
      // Only meaningful before the first segment, where the HLS rules place it.
      if (playlist.segments.empty()) {
        playlist.mediaSequence = std::atoll(line.c_str() + 22);
        sequence = playlist.mediaSequence;
      }
    } else if (startsWith(line, "#EXT-X-TARGETDURATION:")) {
      playlist.targetDuration = std::atof(line.c_str() + 22);
    } else if (startsWith(line, "#EXT-X-ENDLIST")) {
      ended = true;
    } else if (startsWith(line, "#EXT-X-PLAYLIST-TYPE:VOD")) {
      vod = true;
    }
  }
  playlist.live = !playlist.firstVariant && !ended && !vod;
  return playlist;
}

}  // namespace ombrelia::example
