#include "playlist/tags/Tag.hpp"

namespace ombrelia {

std::string Tag::toText(std::string_view /*replacingTagValueWith*/) const {
  std::string out(tagType().tag());
  out.append(tagDataText());
  return out;
}

}  // namespace ombrelia
