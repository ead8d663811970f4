#include "playlist/tags/BaseTag.hpp"

#include "playlist/tags/TagText.hpp"

namespace ombrelia {

BaseTag::BaseTag(std::string_view text, const TagType& tagType)
    : text_(text), tagDataText_(TagText::getTagValue(text, tagType)), tagType_(&tagType) {}

}  // namespace ombrelia
