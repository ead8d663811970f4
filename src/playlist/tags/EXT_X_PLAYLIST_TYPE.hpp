#pragma once
// Any thread: immutable once built.

#include "playlist/tags/BaseValueTag.hpp"
#include "playlist/tags/PlaylistTagType.hpp"

namespace ombrelia {

// "#EXT-X-PLAYLIST-TYPE:"
class EXT_X_PLAYLIST_TYPE : public BaseValueTag<PlaylistTagType> {
 public:
  static const TagType& type();
  static Expected<std::shared_ptr<const EXT_X_PLAYLIST_TYPE>, TagError> make(
      std::string_view text, const TagType& tagType = type(),
      const TagExtraParams* extraParams = nullptr);

  using BaseValueTag<PlaylistTagType>::BaseValueTag;
};

}  // namespace ombrelia
