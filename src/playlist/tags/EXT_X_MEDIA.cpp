#include "playlist/tags/EXT_X_MEDIA.hpp"

#include <vector>

#include "playlist/tags/TagParamsKeys.hpp"

namespace ombrelia {
namespace {

// The attributes this class reads; a list's others are not kept.
constexpr std::string_view kMediaAttributesRead[] = {
    EXT_X_MEDIA::typeAttributeKey, EXT_X_MEDIA::groupIdAttributeKey,
    EXT_X_MEDIA::languageAttributeKey, EXT_X_MEDIA::nameAttributeKey, EXT_X_MEDIA::uriAttributeKey};

const TagExtraParams& mediaParams() {
  // Never destroyed: a playlist may still be parsed on a library thread while the process exits.
  static const auto* kParams = new TagExtraParams(BaseAttributedTag::quotedListParams(
      {std::string(EXT_X_MEDIA::typeAttributeKey), std::string(EXT_X_MEDIA::groupIdAttributeKey)}));
  return *kParams;
}

}  // namespace

const TagType& EXT_X_MEDIA::type() {
  static const TagType kType{"#EXT-X-MEDIA:", &BaseAttributedTag::makeAsTag<EXT_X_MEDIA>, nullptr,
                             true};
  return kType;
}

Expected<std::shared_ptr<const EXT_X_MEDIA>, TagError> EXT_X_MEDIA::make(std::string_view text,
                                                                         const TagType& tagType,
                                                                         const TagExtraParams*) {
  auto parts = parse(text, tagType, &mediaParams(), kMediaAttributesRead);
  if (!parts) return parts.error();
  return std::make_shared<const EXT_X_MEDIA>(std::move(parts).value(), tagType);
}

std::optional<EXT_X_MEDIA::MediaType> EXT_X_MEDIA::makeMediaType(std::string_view raw) {
  if (raw == "AUDIO") return MediaType::audio;
  if (raw == "VIDEO") return MediaType::video;
  if (raw == "SUBTITLES") return MediaType::subtitles;
  if (raw == "CLOSED-CAPTIONS") return MediaType::closedCaptions;
  if (raw == "invalid") return MediaType::invalid;
  return std::nullopt;
}

std::string_view EXT_X_MEDIA::rawValue(MediaType mediaType) {
  switch (mediaType) {
    case MediaType::audio:
      return "AUDIO";
    case MediaType::video:
      return "VIDEO";
    case MediaType::subtitles:
      return "SUBTITLES";
    case MediaType::closedCaptions:
      return "CLOSED-CAPTIONS";
    case MediaType::invalid:
      break;
  }
  return "invalid";
}

std::optional<PlaylistType> EXT_X_MEDIA::asPlaylistType(MediaType mediaType) {
  switch (mediaType) {
    case MediaType::audio:
      return PlaylistType::audio;
    case MediaType::video:
      return PlaylistType::video;
    case MediaType::subtitles:
      return PlaylistType::subtitles;
    default:
      return std::nullopt;
  }
}

EXT_X_MEDIA::MediaType EXT_X_MEDIA::mediaType() const {
  return makeMediaType(attribute(typeAttributeKey).value_or("")).value_or(MediaType::invalid);
}

std::string EXT_X_MEDIA::groupId() const {
  return std::string(attribute(groupIdAttributeKey).value_or(""));
}
std::string EXT_X_MEDIA::language() const {
  return std::string(attribute(languageAttributeKey).value_or(""));
}
std::string EXT_X_MEDIA::name() const {
  return std::string(attribute(nameAttributeKey).value_or(""));
}
std::string EXT_X_MEDIA::uri() const {
  return std::string(attribute(uriAttributeKey).value_or(""));
}

}  // namespace ombrelia
