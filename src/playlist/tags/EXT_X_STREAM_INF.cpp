#include "playlist/tags/EXT_X_STREAM_INF.hpp"

#include <vector>

#include "playlist/parser/PlaylistLines.hpp"
#include "playlist/tags/TagParamsKeys.hpp"

namespace ombrelia {
namespace {

// The attributes this class reads; a list's others are not kept.
constexpr std::string_view kVariantAttributesRead[] = {
    EXT_X_STREAM_INF::bandwidthAttributeKey, EXT_X_STREAM_INF::resolutionAttributeKey,
    EXT_X_STREAM_INF::audioAttributeKey, EXT_X_STREAM_INF::programIdAttributeKey};

const TagExtraParams& variantParams() {
  // Never destroyed: a playlist may still be parsed on a library thread while the process exits.
  static const auto* kParams = new TagExtraParams(
      BaseAttributedTag::quotedListParams({std::string(EXT_X_STREAM_INF::bandwidthAttributeKey)}));
  return *kParams;
}

std::optional<std::string> copy(std::optional<std::string_view> value) {
  if (!value) return std::nullopt;
  return std::string(*value);
}

}  // namespace

const TagType& EXT_X_STREAM_INF::type() {
  static const TagType kType{"#EXT-X-STREAM-INF:", &BaseAttributedTag::makeAsTag<EXT_X_STREAM_INF>,
                             &EXT_X_STREAM_INF::linesCount, true};
  return kType;
}

EXT_X_STREAM_INF::EXT_X_STREAM_INF(Parts parts, const TagType& tagType, std::string uri)
    : BaseAttributedTag(std::move(parts), tagType), uri_(std::move(uri)) {}

Expected<std::shared_ptr<const EXT_X_STREAM_INF>, TagError> EXT_X_STREAM_INF::make(
    std::string_view text, const TagType& tagType, const TagExtraParams*) {
  std::string_view lines[2];
  if (PlaylistLines::split(text, lines, 2) != 2) {
    return TagError::invalidData(std::string(tagType.tag()), "more/less than 2 lines of data",
                                 "exactly 2 lines of data, 1 for tag and 1 for uri");
  }
  auto parts = parse(lines[0], tagType, &variantParams(), kVariantAttributesRead);
  if (!parts) return parts.error();
  return std::make_shared<const EXT_X_STREAM_INF>(std::move(parts).value(), tagType,
                                                  std::string(lines[1]));
}

int64_t EXT_X_STREAM_INF::bandwidth() const {
  auto text = attribute(bandwidthAttributeKey);
  if (!text) return -1;
  return StringInitializable<int64_t>::make(*text).value_or(-1);
}

std::optional<std::string> EXT_X_STREAM_INF::resolution() const {
  return copy(attribute(resolutionAttributeKey));
}

std::optional<std::string> EXT_X_STREAM_INF::audio() const {
  return copy(attribute(audioAttributeKey));
}

std::optional<int64_t> EXT_X_STREAM_INF::programId() const {
  auto text = attribute(programIdAttributeKey);
  if (!text) return std::nullopt;
  return StringInitializable<int64_t>::make(*text);
}

}  // namespace ombrelia
