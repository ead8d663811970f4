#pragma once
// Any thread: immutable once built.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "playlist/tags/AttributedTag.hpp"

namespace ombrelia {

// A tag whose data is an attribute list. Its construction parameters (separator, expected count,
// required names, texts to delete) come from TagExtraParams; every concrete class passes its own.
class BaseAttributedTag : public AttributedTag {
 public:
  // What a tag holds per byte of its text at most, while it is built and after: the text, and
  // the values of the attributes its class reads, each a part of the text. A list's other
  // attributes are not kept, so millions of short ones cost nothing more.
  static constexpr size_t kHeldBytesPerTextByte = 2;

  // The data text is read where it stands in the text, after the literal that begins it; only
  // a text whose literal stands elsewhere keeps its data text apart.
  struct Parts {
    std::string text;
    size_t dataStart = 0;
    std::optional<std::string> dataApart;
    TagAttributes attributes;
  };

  // Keeps the attributes named in `kept` (the class's read-outs and required names) and no
  // other, so that what a tag holds is its text and those values, whatever its list holds.
  // Fails with invalidData when the list holds no attribute and with missingAttributes when a
  // required one is absent. Missing or mistyped parameters are a programming error and stop the
  // process.
  static Expected<Parts, TagError> parse(std::string_view text, const TagType& tagType,
                                         const TagExtraParams* extraParams,
                                         std::span<const std::string_view> kept);

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
  std::string_view tagDataText() const override {
    return dataApart_ ? std::string_view(*dataApart_) : std::string_view(text_).substr(dataStart_);
  }
  const TagType& tagType() const override { return *tagType_; }
  const TagAttributes& attributes() const override { return attributes_; }

 private:
  std::string text_;
  size_t dataStart_;
  std::optional<std::string> dataApart_;
  TagAttributes attributes_;
  const TagType* tagType_;
};

}  // namespace ombrelia
