#include "playlist/tags/BaseAttributedTag.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "playlist/tags/TagParamsKeys.hpp"
#include "playlist/tags/TagText.hpp"

namespace ombrelia {
namespace {

[[noreturn]] void stop(std::string_view message) {
  // A programming error, not a runtime case: say so on standard error and stop.
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  std::abort();
}

template <typename T>
const T* read(const TagExtraParams& params, std::string_view key) {
  auto it = params.find(key);
  if (it == params.end()) return nullptr;
  return std::any_cast<T>(&it->second);
}

}  // namespace

Expected<BaseAttributedTag::Parts, TagError> BaseAttributedTag::parse(
    std::string_view text, const TagType& tagType, const TagExtraParams* extraParams,
    std::span<const std::string_view> kept) {
  constexpr std::string_view kMissingParams = "missing params, make sure to send all needed params";
  if (extraParams == nullptr) stop(kMissingParams);
  const auto* separator = read<std::string>(*extraParams, TagParamsKeys::attributesSeperator);
  const auto* count = read<int64_t>(*extraParams, TagParamsKeys::attributesCount);
  const auto* required =
      read<std::vector<std::string>>(*extraParams, TagParamsKeys::attributesKeys);
  if (separator == nullptr || count == nullptr || required == nullptr) stop(kMissingParams);
  const auto* extras =
      read<std::vector<std::string>>(*extraParams, TagParamsKeys::attributesExtrasToRemove);
  if (!tagType.attributed) stop("tag type must be of type: AttributedTag");

  Parts parts{std::string(text), 0, std::nullopt, {}};
  const size_t literalAt = text.find(tagType.tag());
  std::string_view data;
  if (literalAt == 0) {
    parts.dataStart = tagType.tag().size();
    data = text.substr(parts.dataStart);
  } else if (literalAt == std::string_view::npos) {
    parts.dataStart = text.size();
  } else {
    data = *(parts.dataApart = TagText::getTagValue(text, tagType));
  }
  if (getAttributes(data, *separator, extras, kept, parts.attributes) == 0) {
    return TagError::invalidData(std::string(tagType.tag()), "received 0 attributes",
                                 "expected to receive " + std::to_string(*count) + " attributes");
  }
  for (const std::string& name : *required) {
    if (parts.attributes.find(name) == parts.attributes.end()) return TagError::missingAttributes();
  }
  return parts;
}

BaseAttributedTag::BaseAttributedTag(Parts parts, const TagType& tagType)
    : text_(std::move(parts.text)),
      dataStart_(parts.dataStart),
      dataApart_(std::move(parts.dataApart)),
      attributes_(std::move(parts.attributes)),
      tagType_(&tagType) {}

TagExtraParams BaseAttributedTag::quotedListParams(std::vector<std::string> requiredKeys) {
  return TagExtraParams{
      {std::string(TagParamsKeys::attributesCount), int64_t{2}},
      {std::string(TagParamsKeys::attributesSeperator), std::string(",")},
      {std::string(TagParamsKeys::attributesExtrasToRemove), std::vector<std::string>{"\""}},
      {std::string(TagParamsKeys::attributesKeys), std::move(requiredKeys)},
  };
}

}  // namespace ombrelia
