#pragma once
// Any thread: immutable once built.

#include <memory>
#include <string>
#include <string_view>

#include "playlist/tags/Tag.hpp"

namespace ombrelia {

// A tag without a value: only its literal and whatever text follows it.
class BaseTag : public Tag {
 public:
  BaseTag(std::string_view text, const TagType& tagType);

  const std::string& text() const override { return text_; }
  std::string_view tagDataText() const override { return tagDataText_; }
  const TagType& tagType() const override { return *tagType_; }

  // The factory of a plain tag class: never fails.
  template <typename Derived>
  static Expected<std::shared_ptr<const Tag>, TagError> makeAs(std::string_view text,
                                                               const TagType& tagType,
                                                               const TagExtraParams*) {
    return std::shared_ptr<const Tag>(std::make_shared<const Derived>(text, tagType));
  }

 private:
  std::string text_;
  std::string tagDataText_;
  const TagType* tagType_;
};

}  // namespace ombrelia
