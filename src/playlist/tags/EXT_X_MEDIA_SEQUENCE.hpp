#pragma once
// Any thread: immutable once built.

#include "playlist/tags/BaseValueTag.hpp"

namespace ombrelia {

// "#EXT-X-MEDIA-SEQUENCE:"
class EXT_X_MEDIA_SEQUENCE : public BaseValueTag<int64_t> {
 public:
  static const TagType& type();
  static Expected<std::shared_ptr<const EXT_X_MEDIA_SEQUENCE>, TagError> make(
      std::string_view text, const TagType& tagType = type(),
      const TagExtraParams* extraParams = nullptr);

  using BaseValueTag<int64_t>::BaseValueTag;
};

}  // namespace ombrelia
