#pragma once
// One parse, on the parsing thread.

#include <optional>

#include "playlist/playlist/MasterPlaylistTags.hpp"

namespace ombrelia {

// Collects the tags of a master playlist line by line.
class MasterPlaylistTagsBuilder {
 public:
  std::shared_ptr<const EXT_X_VERSION> versionTag;
  std::vector<std::shared_ptr<const EXT_X_MEDIA>> mediaTags;
  std::vector<std::shared_ptr<const EXT_X_STREAM_INF>> streamTags;

  // Always gives a record: a master playlist requires none of its tags.
  std::optional<MasterPlaylistTags> build() const {
    return MasterPlaylistTags(versionTag, mediaTags, streamTags);
  }
};

}  // namespace ombrelia
