#include "playlist/tags/EXT_X_PLAYLIST_TYPE.hpp"

namespace ombrelia {

const TagType& EXT_X_PLAYLIST_TYPE::type() {
  static const TagType kType{"#EXT-X-PLAYLIST-TYPE:",
                             &BaseValueTag<PlaylistTagType>::makeAs<EXT_X_PLAYLIST_TYPE>};
  return kType;
}

Expected<std::shared_ptr<const EXT_X_PLAYLIST_TYPE>, TagError> EXT_X_PLAYLIST_TYPE::make(
    std::string_view text, const TagType& tagType, const TagExtraParams* extraParams) {
  auto tag = BaseValueTag<PlaylistTagType>::makeAs<EXT_X_PLAYLIST_TYPE>(text, tagType, extraParams);
  if (!tag) return tag.error();
  return std::static_pointer_cast<const EXT_X_PLAYLIST_TYPE>(tag.value());
}

}  // namespace ombrelia
