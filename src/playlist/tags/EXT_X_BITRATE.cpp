#include "playlist/tags/EXT_X_BITRATE.hpp"

namespace ombrelia {

const TagType& EXT_X_BITRATE::type() {
  static const TagType kType{"#EXT-X-BITRATE:", &BaseValueTag<int64_t>::makeAs<EXT_X_BITRATE>};
  return kType;
}

Expected<std::shared_ptr<const EXT_X_BITRATE>, TagError> EXT_X_BITRATE::make(
    std::string_view text, const TagType& tagType, const TagExtraParams* extraParams) {
  auto tag = BaseValueTag<int64_t>::makeAs<EXT_X_BITRATE>(text, tagType, extraParams);
  if (!tag) return tag.error();
  return std::static_pointer_cast<const EXT_X_BITRATE>(tag.value());
}

}  // namespace ombrelia
