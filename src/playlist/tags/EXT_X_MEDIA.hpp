#pragma once
// Any thread: immutable once built.

#include <memory>
#include <optional>
#include <string>

#include "playlist/playlist/PlaylistType.hpp"
#include "playlist/tags/BaseAttributedTag.hpp"

namespace ombrelia {

// "#EXT-X-MEDIA:", a rendition. TYPE and GROUP-ID are required.
class EXT_X_MEDIA : public BaseAttributedTag {
 public:
  enum class MediaType { audio, video, subtitles, closedCaptions, invalid };

  static constexpr std::string_view typeAttributeKey = "TYPE";
  static constexpr std::string_view groupIdAttributeKey = "GROUP-ID";
  static constexpr std::string_view languageAttributeKey = "LANGUAGE";
  static constexpr std::string_view nameAttributeKey = "NAME";
  static constexpr std::string_view uriAttributeKey = "URI";

  static const TagType& type();
  static Expected<std::shared_ptr<const EXT_X_MEDIA>, TagError> make(
      std::string_view text, const TagType& tagType = type(),
      const TagExtraParams* extraParams = nullptr);

  // The case whose raw value ("AUDIO", "VIDEO", "SUBTITLES", "CLOSED-CAPTIONS", "invalid") is
  // exactly the text.
  static std::optional<MediaType> makeMediaType(std::string_view rawValue);
  static std::string_view rawValue(MediaType mediaType);
  // audio, video and subtitles map to the playlist kind of the same name; the others to none.
  static std::optional<PlaylistType> asPlaylistType(MediaType mediaType);

  using BaseAttributedTag::BaseAttributedTag;

  // invalid when TYPE matches no raw value.
  MediaType mediaType() const;
  std::string groupId() const;
  std::string language() const;
  std::string name() const;
  std::string uri() const;
};

}  // namespace ombrelia
