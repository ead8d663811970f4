#include "playlist/tags/EXT_X_MEDIA_SEQUENCE.hpp"

namespace ombrelia {

const TagType& EXT_X_MEDIA_SEQUENCE::type() {
  static const TagType kType{"#EXT-X-MEDIA-SEQUENCE:",
                             &BaseValueTag<int64_t>::makeAs<EXT_X_MEDIA_SEQUENCE>};
  return kType;
}

Expected<std::shared_ptr<const EXT_X_MEDIA_SEQUENCE>, TagError> EXT_X_MEDIA_SEQUENCE::make(
    std::string_view text, const TagType& tagType, const TagExtraParams* extraParams) {
  auto tag = BaseValueTag<int64_t>::makeAs<EXT_X_MEDIA_SEQUENCE>(text, tagType, extraParams);
  if (!tag) return tag.error();
  return std::static_pointer_cast<const EXT_X_MEDIA_SEQUENCE>(tag.value());
}

}  // namespace ombrelia
