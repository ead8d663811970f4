#include "playlist/tags/TagText.hpp"

namespace ombrelia {

std::string TagText::getTagValue(std::string_view text, const TagType& tagType) {
  const std::string_view tag = tagType.tag();
  const size_t at = text.find(tag);
  if (at == std::string_view::npos) return {};
  std::string out;
  out.reserve(text.size() - tag.size());
  out.append(text.substr(0, at));
  out.append(text.substr(at + tag.size()));
  return out;
}

}  // namespace ombrelia
