#pragma once
// Any thread: immutable once built.

#include "playlist/tags/BaseValueTag.hpp"

namespace ombrelia {

// "#EXT-X-BITRATE:"
class EXT_X_BITRATE : public BaseValueTag<int64_t> {
 public:
  static const TagType& type();
  static Expected<std::shared_ptr<const EXT_X_BITRATE>, TagError> make(
      std::string_view text, const TagType& tagType = type(),
      const TagExtraParams* extraParams = nullptr);

  using BaseValueTag<int64_t>::BaseValueTag;
};

}  // namespace ombrelia
