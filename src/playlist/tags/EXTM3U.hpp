#pragma once
// Any thread: immutable once built.

#include "playlist/tags/BaseTag.hpp"

namespace ombrelia {

// "#EXTM3U"
class EXTM3U : public BaseTag {
 public:
  static const TagType& type();
  static Expected<std::shared_ptr<const EXTM3U>, TagError> make(
      std::string_view text, const TagType& tagType = type(),
      const TagExtraParams* extraParams = nullptr);

  using BaseTag::BaseTag;
};

}  // namespace ombrelia
