#pragma once
// One parse, on the parsing thread.

#include <optional>

#include "playlist/playlist/MediaPlaylistTags.hpp"

namespace ombrelia {

// Collects the tags of a media playlist line by line.
class MediaPlaylistTagsBuilder {
 public:
  std::shared_ptr<const EXT_X_TARGETDURATION> targetDurationTag;
  std::shared_ptr<const EXT_X_ALLOW_CACHE> allowCacheTag;
  std::shared_ptr<const EXT_X_PLAYLIST_TYPE> playlistTypeTag;
  std::shared_ptr<const EXT_X_VERSION> versionTag;
  std::shared_ptr<const EXT_X_MEDIA_SEQUENCE> mediaSequence;
  std::vector<std::shared_ptr<const EXTINF>> mediaSegments;
  std::vector<std::shared_ptr<const EXT_X_KEY>> keySegments;

  // Nothing without a target duration, the one tag a media playlist requires.
  std::optional<MediaPlaylistTags> build() const {
    if (!targetDurationTag) return std::nullopt;
    return MediaPlaylistTags(targetDurationTag, allowCacheTag, playlistTypeTag, versionTag,
                             mediaSequence, mediaSegments, keySegments);
  }
};

}  // namespace ombrelia
