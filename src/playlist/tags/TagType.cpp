#include "playlist/tags/TagType.hpp"

#include <cstdio>
#include <cstdlib>

namespace ombrelia {

void TagType::abstractTag() {
  // A programming error, not a runtime case: say so on standard error and stop.
  std::fputs("Abstract implementation make sure to implement tag in subclass\n", stderr);
  std::abort();
}

Expected<std::shared_ptr<const Tag>, TagError> TagType::make(
    std::string_view text, const TagExtraParams* extraParams) const {
  return factory(text, *this, extraParams);
}

bool TagType::isKindOf(const TagType& other) const {
  for (const TagType* type = this; type != nullptr; type = type->parent) {
    if (type == &other) return true;
  }
  return false;
}

}  // namespace ombrelia
