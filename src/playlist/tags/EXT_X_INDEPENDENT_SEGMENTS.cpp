#include "playlist/tags/EXT_X_INDEPENDENT_SEGMENTS.hpp"

namespace ombrelia {

const TagType& EXT_X_INDEPENDENT_SEGMENTS::type() {
  static const TagType kType{"#EXT-X-INDEPENDENT-SEGMENTS",
                             &BaseTag::makeAs<EXT_X_INDEPENDENT_SEGMENTS>};
  return kType;
}

Expected<std::shared_ptr<const EXT_X_INDEPENDENT_SEGMENTS>, TagError>
EXT_X_INDEPENDENT_SEGMENTS::make(std::string_view text, const TagType& tagType,
                                 const TagExtraParams* extraParams) {
  auto tag = BaseTag::makeAs<EXT_X_INDEPENDENT_SEGMENTS>(text, tagType, extraParams);
  if (!tag) return tag.error();
  return std::static_pointer_cast<const EXT_X_INDEPENDENT_SEGMENTS>(tag.value());
}

}  // namespace ombrelia
