#include "playlist/tags/EXT_X_VERSION.hpp"

namespace ombrelia {

const TagType& EXT_X_VERSION::type() {
  static const TagType kType{"#EXT-X-VERSION:", &BaseValueTag<int64_t>::makeAs<EXT_X_VERSION>};
  return kType;
}

Expected<std::shared_ptr<const EXT_X_VERSION>, TagError> EXT_X_VERSION::make(
    std::string_view text, const TagType& tagType, const TagExtraParams* extraParams) {
  auto tag = BaseValueTag<int64_t>::makeAs<EXT_X_VERSION>(text, tagType, extraParams);
  if (!tag) return tag.error();
  return std::static_pointer_cast<const EXT_X_VERSION>(tag.value());
}

}  // namespace ombrelia
