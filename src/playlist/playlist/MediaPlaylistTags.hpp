#pragma once
// Any thread: an immutable value.

#include <memory>
#include <vector>

#include "playlist/tags/EXTINF.hpp"
#include "playlist/tags/EXT_X_ALLOW_CACHE.hpp"
#include "playlist/tags/EXT_X_KEY.hpp"
#include "playlist/tags/EXT_X_MEDIA_SEQUENCE.hpp"
#include "playlist/tags/EXT_X_PLAYLIST_TYPE.hpp"
#include "playlist/tags/EXT_X_TARGETDURATION.hpp"
#include "playlist/tags/EXT_X_VERSION.hpp"

namespace ombrelia {

// The recognised tags of a media playlist. The target duration is always there: a media playlist
// cannot be built without one. Single tags are the last of their kind in the text; null when
// absent.
class MediaPlaylistTags {
 public:
  MediaPlaylistTags(std::shared_ptr<const EXT_X_TARGETDURATION> targetDurationTag,
                    std::shared_ptr<const EXT_X_ALLOW_CACHE> allowCacheTag,
                    std::shared_ptr<const EXT_X_PLAYLIST_TYPE> playlistTypeTag,
                    std::shared_ptr<const EXT_X_VERSION> versionTag,
                    std::shared_ptr<const EXT_X_MEDIA_SEQUENCE> mediaSequence,
                    std::vector<std::shared_ptr<const EXTINF>> mediaSegments,
                    std::vector<std::shared_ptr<const EXT_X_KEY>> keySegments)
      : targetDurationTag_(std::move(targetDurationTag)),
        allowCacheTag_(std::move(allowCacheTag)),
        playlistTypeTag_(std::move(playlistTypeTag)),
        versionTag_(std::move(versionTag)),
        mediaSequence_(std::move(mediaSequence)),
        mediaSegments_(std::move(mediaSegments)),
        keySegments_(std::move(keySegments)) {}

  const EXT_X_TARGETDURATION& targetDurationTag() const { return *targetDurationTag_; }
  const std::shared_ptr<const EXT_X_ALLOW_CACHE>& allowCacheTag() const { return allowCacheTag_; }
  const std::shared_ptr<const EXT_X_PLAYLIST_TYPE>& playlistTypeTag() const {
    return playlistTypeTag_;
  }
  const std::shared_ptr<const EXT_X_VERSION>& versionTag() const { return versionTag_; }
  const std::shared_ptr<const EXT_X_MEDIA_SEQUENCE>& mediaSequence() const {
    return mediaSequence_;
  }
  const std::vector<std::shared_ptr<const EXTINF>>& mediaSegments() const { return mediaSegments_; }
  const std::vector<std::shared_ptr<const EXT_X_KEY>>& keySegments() const { return keySegments_; }

 private:
  std::shared_ptr<const EXT_X_TARGETDURATION> targetDurationTag_;
  std::shared_ptr<const EXT_X_ALLOW_CACHE> allowCacheTag_;
  std::shared_ptr<const EXT_X_PLAYLIST_TYPE> playlistTypeTag_;
  std::shared_ptr<const EXT_X_VERSION> versionTag_;
  std::shared_ptr<const EXT_X_MEDIA_SEQUENCE> mediaSequence_;
  std::vector<std::shared_ptr<const EXTINF>> mediaSegments_;
  std::vector<std::shared_ptr<const EXT_X_KEY>> keySegments_;
};

}  // namespace ombrelia
