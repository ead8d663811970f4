#pragma once
// Any thread: an immutable value.

#include <memory>
#include <vector>

#include "playlist/tags/EXT_X_MEDIA.hpp"
#include "playlist/tags/EXT_X_STREAM_INF.hpp"
#include "playlist/tags/EXT_X_VERSION.hpp"

namespace ombrelia {

// The recognised tags of a master playlist.
class MasterPlaylistTags {
 public:
  MasterPlaylistTags(std::shared_ptr<const EXT_X_VERSION> versionTag,
                     std::vector<std::shared_ptr<const EXT_X_MEDIA>> mediaTags,
                     std::vector<std::shared_ptr<const EXT_X_STREAM_INF>> streamTags)
      : versionTag_(std::move(versionTag)),
        mediaTags_(std::move(mediaTags)),
        streamTags_(std::move(streamTags)) {}

  // The last "#EXT-X-VERSION:" line; null when there is none.
  const std::shared_ptr<const EXT_X_VERSION>& versionTag() const { return versionTag_; }
  const std::vector<std::shared_ptr<const EXT_X_MEDIA>>& mediaTags() const { return mediaTags_; }
  const std::vector<std::shared_ptr<const EXT_X_STREAM_INF>>& streamTags() const {
    return streamTags_;
  }

 private:
  std::shared_ptr<const EXT_X_VERSION> versionTag_;
  std::vector<std::shared_ptr<const EXT_X_MEDIA>> mediaTags_;
  std::vector<std::shared_ptr<const EXT_X_STREAM_INF>> streamTags_;
};

}  // namespace ombrelia
