#include "playlist/tags/EXT_X_ALLOW_CACHE.hpp"

namespace ombrelia {

const TagType& EXT_X_ALLOW_CACHE::type() {
  static const TagType kType{"#EXT-X-ALLOW-CACHE:",
                             &BaseValueTag<BoolTagType>::makeAs<EXT_X_ALLOW_CACHE>};
  return kType;
}

Expected<std::shared_ptr<const EXT_X_ALLOW_CACHE>, TagError> EXT_X_ALLOW_CACHE::make(
    std::string_view text, const TagType& tagType, const TagExtraParams* extraParams) {
  auto tag = BaseValueTag<BoolTagType>::makeAs<EXT_X_ALLOW_CACHE>(text, tagType, extraParams);
  if (!tag) return tag.error();
  return std::static_pointer_cast<const EXT_X_ALLOW_CACHE>(tag.value());
}

}  // namespace ombrelia
