#include "playlist/playlist/PlaylistType.hpp"

#include "playlist/tags/EXTINF.hpp"
#include "playlist/tags/EXT_X_ALLOW_CACHE.hpp"
#include "playlist/tags/EXT_X_KEY.hpp"
#include "playlist/tags/EXT_X_MEDIA.hpp"
#include "playlist/tags/EXT_X_MEDIA_SEQUENCE.hpp"
#include "playlist/tags/EXT_X_PLAYLIST_TYPE.hpp"
#include "playlist/tags/EXT_X_STREAM_INF.hpp"
#include "playlist/tags/EXT_X_TARGETDURATION.hpp"
#include "playlist/tags/EXT_X_VERSION.hpp"

namespace ombrelia {

std::optional<PlaylistType> makePlaylistType(std::string_view raw) {
  if (raw == "master") return PlaylistType::master;
  if (raw == "video") return PlaylistType::video;
  if (raw == "audio") return PlaylistType::audio;
  if (raw == "subtitles") return PlaylistType::subtitles;
  return std::nullopt;
}

std::string_view rawValue(PlaylistType type) {
  switch (type) {
    case PlaylistType::master:
      return "master";
    case PlaylistType::video:
      return "video";
    case PlaylistType::audio:
      return "audio";
    case PlaylistType::subtitles:
      return "subtitles";
  }
  return "video";
}

std::vector<const TagType*> handledTagTypes(PlaylistType type) {
  if (type == PlaylistType::master) {
    return {&EXT_X_MEDIA::type(), &EXT_X_STREAM_INF::type(), &EXT_X_VERSION::type()};
  }
  return {&EXT_X_TARGETDURATION::type(),
          &EXT_X_PLAYLIST_TYPE::type(),
          &EXT_X_VERSION::type(),
          &EXTINF::type(),
          &EXT_X_KEY::type(),
          &EXT_X_ALLOW_CACHE::type(),
          &EXT_X_MEDIA_SEQUENCE::type()};
}

}  // namespace ombrelia
