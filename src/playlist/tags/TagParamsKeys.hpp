#pragma once
// Any thread: constants.

#include <string_view>

namespace ombrelia {

// The keys of the construction parameters that attributed tags read.
struct TagParamsKeys {
  // The key text is spelled without the "s" after "attribute"; callers rely on the text.
  static constexpr std::string_view attributesSeperator = "attributeSeperator";
  static constexpr std::string_view attributesCount = "attributesCount";
  static constexpr std::string_view attributesKeys = "attributesKeys";
  static constexpr std::string_view attributesExtrasToRemove = "attributesExtrasToRemove";
};

}  // namespace ombrelia
