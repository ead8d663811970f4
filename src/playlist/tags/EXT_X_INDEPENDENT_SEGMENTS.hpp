#pragma once
// Any thread: immutable once built.

#include "playlist/tags/BaseTag.hpp"

namespace ombrelia {

// "#EXT-X-INDEPENDENT-SEGMENTS"
class EXT_X_INDEPENDENT_SEGMENTS : public BaseTag {
 public:
  static const TagType& type();
  static Expected<std::shared_ptr<const EXT_X_INDEPENDENT_SEGMENTS>, TagError> make(
      std::string_view text, const TagType& tagType = type(),
      const TagExtraParams* extraParams = nullptr);

  using BaseTag::BaseTag;
};

}  // namespace ombrelia
