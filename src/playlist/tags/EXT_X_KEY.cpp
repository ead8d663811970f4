#include "playlist/tags/EXT_X_KEY.hpp"

#include <vector>

#include "playlist/tags/TagParamsKeys.hpp"

namespace ombrelia {
namespace {

// The attributes this class reads; a list's others are not kept.
constexpr std::string_view kKeyAttributesRead[] = {EXT_X_KEY::methodAttributeKey,
                                                   EXT_X_KEY::uriAttributeKey};

const TagExtraParams& keyParams() {
  // Never destroyed: a playlist may still be parsed on a library thread while the process exits.
  static const auto* kParams = new TagExtraParams(
      BaseAttributedTag::quotedListParams({std::string(EXT_X_KEY::methodAttributeKey)}));
  return *kParams;
}

}  // namespace

const TagType& EXT_X_KEY::type() {
  static const TagType kType{"#EXT-X-KEY:", &BaseAttributedTag::makeAsTag<EXT_X_KEY>, nullptr,
                             true};
  return kType;
}

Expected<std::shared_ptr<const EXT_X_KEY>, TagError> EXT_X_KEY::make(std::string_view text,
                                                                     const TagType& tagType,
                                                                     const TagExtraParams*) {
  auto parts = parse(text, tagType, &keyParams(), kKeyAttributesRead);
  if (!parts) return parts.error();
  const TagAttributes& attributes = parts->attributes;
  auto method = attributes.find(methodAttributeKey);
  if (method->second != "NONE" && attributes.find(uriAttributeKey) == attributes.end()) {
    return TagError::missingAttributes();
  }
  return std::make_shared<const EXT_X_KEY>(std::move(parts).value(), tagType);
}

std::string EXT_X_KEY::method() const {
  return std::string(attribute(methodAttributeKey).value_or(""));
}

std::string EXT_X_KEY::uri() const { return std::string(attribute(uriAttributeKey).value_or("")); }

}  // namespace ombrelia
