#pragma once
// Any thread: immutable once built.

#include <memory>
#include <string>

#include "playlist/tags/BaseAttributedTag.hpp"

namespace ombrelia {

// "#EXT-X-KEY:". METHOD is required, and URI too unless the method is NONE (an unencrypted
// stretch of the stream carries no key URI).
class EXT_X_KEY : public BaseAttributedTag {
 public:
  static constexpr std::string_view methodAttributeKey = "METHOD";
  static constexpr std::string_view uriAttributeKey = "URI";

  static const TagType& type();
  static Expected<std::shared_ptr<const EXT_X_KEY>, TagError> make(
      std::string_view text, const TagType& tagType = type(),
      const TagExtraParams* extraParams = nullptr);

  using BaseAttributedTag::BaseAttributedTag;

  std::string method() const;
  std::string uri() const;
};

}  // namespace ombrelia
