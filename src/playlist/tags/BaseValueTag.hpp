#pragma once
// Any thread: immutable once built.

#include <memory>
#include <string>
#include <string_view>

#include "playlist/tags/StringInitializable.hpp"
#include "playlist/tags/Tag.hpp"
#include "playlist/tags/TagText.hpp"

namespace ombrelia {

// A tag whose whole data text is one typed value (an integer, a number or an enumeration).
template <typename T>
class BaseValueTag : public Tag {
 public:
  struct Parts {
    std::string text;
    std::string tagDataText;
    T value;
  };

  // Converts the data text; fails with invalidData naming the value's type when it does not
  // convert.
  static Expected<Parts, TagError> parse(std::string_view text, const TagType& tagType) {
    std::string data = TagText::getTagValue(text, tagType);
    auto value = StringInitializable<T>::make(data);
    if (!value) {
      return TagError::invalidData(std::string(tagType.tag()), std::move(data),
                                   std::string(StringInitializable<T>::typeName));
    }
    return Parts{std::string(text), std::move(data), *value};
  }

  template <typename Derived>
  static Expected<std::shared_ptr<const Tag>, TagError> makeAs(std::string_view text,
                                                               const TagType& tagType,
                                                               const TagExtraParams*) {
    auto parts = parse(text, tagType);
    if (!parts) return parts.error();
    return std::shared_ptr<const Tag>(
        std::make_shared<const Derived>(std::move(parts).value(), tagType));
  }

  BaseValueTag(Parts parts, const TagType& tagType)
      : text_(std::move(parts.text)),
        tagDataText_(std::move(parts.tagDataText)),
        value_(std::move(parts.value)),
        tagType_(&tagType) {}

  const std::string& text() const override { return text_; }
  std::string_view tagDataText() const override { return tagDataText_; }
  const TagType& tagType() const override { return *tagType_; }
  const T& value() const { return value_; }

 private:
  std::string text_;
  std::string tagDataText_;
  T value_;
  const TagType* tagType_;
};

}  // namespace ombrelia
