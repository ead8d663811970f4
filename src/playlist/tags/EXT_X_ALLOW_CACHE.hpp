#pragma once
// Any thread: immutable once built.

#include "playlist/tags/BaseValueTag.hpp"
#include "playlist/tags/BoolTagType.hpp"

namespace ombrelia {

// "#EXT-X-ALLOW-CACHE:"
class EXT_X_ALLOW_CACHE : public BaseValueTag<BoolTagType> {
 public:
  static const TagType& type();
  static Expected<std::shared_ptr<const EXT_X_ALLOW_CACHE>, TagError> make(
      std::string_view text, const TagType& tagType = type(),
      const TagExtraParams* extraParams = nullptr);

  using BaseValueTag<BoolTagType>::BaseValueTag;
};

}  // namespace ombrelia
