#include "playlist/tags/EXT_X_TARGETDURATION.hpp"

namespace ombrelia {

const TagType& EXT_X_TARGETDURATION::type() {
  static const TagType kType{"#EXT-X-TARGETDURATION:",
                             &BaseValueTag<int64_t>::makeAs<EXT_X_TARGETDURATION>};
  return kType;
}

Expected<std::shared_ptr<const EXT_X_TARGETDURATION>, TagError> EXT_X_TARGETDURATION::make(
    std::string_view text, const TagType& tagType, const TagExtraParams* extraParams) {
  auto tag = BaseValueTag<int64_t>::makeAs<EXT_X_TARGETDURATION>(text, tagType, extraParams);
  if (!tag) return tag.error();
  return std::static_pointer_cast<const EXT_X_TARGETDURATION>(tag.value());
}

}  // namespace ombrelia
