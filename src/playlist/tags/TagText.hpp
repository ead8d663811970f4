#pragma once
// Any thread: stateless.

#include <string>
#include <string_view>

#include "playlist/tags/TagType.hpp"

namespace ombrelia {

// The two string operations by which lines are matched to tag classes.
class TagText {
 public:
  TagText() = delete;

  // True when the text begins with the class's literal: a plain, case-sensitive prefix test.
  static bool isMatch(std::string_view text, const TagType& tagType) {
    return text.starts_with(tagType.tag());
  }
  // The text with the first occurrence of the literal removed, wherever it stands; empty when
  // the literal does not occur.
  static std::string getTagValue(std::string_view text, const TagType& tagType);
};

}  // namespace ombrelia
