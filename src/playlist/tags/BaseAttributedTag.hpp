#pragma once
// Any thread: immutable once built.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "playlist/tags/AttributedTag.hpp"

namespace ombrelia {

// A tag whose data is an attribute list. Its construction parameters (separator, expected count,
// required names, texts to delete) come from TagExtraParams; every concrete class passes its own.
class BaseAttributedTag : public AttributedTag {
 public:
  struct Parts {
    std::string text;
    std::string tagDataText;
    TagAttributes attributes;
  };

  // Fails with invalidData when the list holds no attribute and with missingAttributes when a
  // required one is absent. Missing or mistyped parameters are a programming error and stop the
  // process.
  static Expected<Parts, TagError> parse(std::string_view text, const TagType& tagType,
                                         const TagExtraParams* extraParams);

  // The parameters of a comma-separated attribute list with quoted values that must name
  // `requiredKeys`: what the master-playlist tags pass.
  static TagExtraParams quotedListParams(std::vector<std::string> requiredKeys);

  // The maker a TagType holds for the concrete tag class T: makes a T and hands it out as a Tag.
  template <class T>
  static Expected<std::shared_ptr<const Tag>, TagError> makeAsTag(
      std::string_view text, const TagType& tagType, const TagExtraParams* extraParams) {
    auto tag = T::make(text, tagType, extraParams);
    if (!tag) return tag.error();
    return std::shared_ptr<const Tag>(tag.value());
  }

  BaseAttributedTag(Parts parts, const TagType& tagType);

  const std::string& text() const override { return text_; }
  const std::string& tagDataText() const override { return tagDataText_; }
  const TagType& tagType() const override { return *tagType_; }
  const TagAttributes& attributes() const override { return attributes_; }

 private:
  std::string text_;
  std::string tagDataText_;
  TagAttributes attributes_;
  const TagType* tagType_;
};

}  // namespace ombrelia
