#include "playlist/tags/EXTM3U.hpp"

namespace ombrelia {

const TagType& EXTM3U::type() {
  static const TagType kType{"#EXTM3U", &BaseTag::makeAs<EXTM3U>};
  return kType;
}

Expected<std::shared_ptr<const EXTM3U>, TagError> EXTM3U::make(std::string_view text,
                                                               const TagType& tagType,
                                                               const TagExtraParams* extraParams) {
  auto tag = BaseTag::makeAs<EXTM3U>(text, tagType, extraParams);
  if (!tag) return tag.error();
  return std::static_pointer_cast<const EXTM3U>(tag.value());
}

}  // namespace ombrelia
