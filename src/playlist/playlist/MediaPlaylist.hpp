#pragma once
// Any thread: an immutable value.

#include "playlist/playlist/MediaPlaylistTags.hpp"
#include "playlist/playlist/Playlist.hpp"

namespace ombrelia {

// A parsed media playlist.
class MediaPlaylist : public Playlist {
 public:
  MediaPlaylist(std::string originalText, std::optional<std::string> alteredText, PlaylistType type,
                Url baseUrl, MediaPlaylistTags tags, ExtraTagMap extraTags)
      : originalText_(std::move(originalText)),
        alteredText_(std::move(alteredText)),
        type_(type),
        baseUrl_(std::move(baseUrl)),
        tags_(std::move(tags)),
        extraTags_(std::move(extraTags)) {}

  const std::string& originalText() const override { return originalText_; }
  const std::optional<std::string>& alteredText() const override { return alteredText_; }
  PlaylistType type() const override { return type_; }
  const Url& baseUrl() const override { return baseUrl_; }
  const MediaPlaylistTags& tags() const { return tags_; }
  const ExtraTagMap& extraTags() const override { return extraTags_; }

 private:
  std::string originalText_;
  std::optional<std::string> alteredText_;
  PlaylistType type_;
  Url baseUrl_;
  MediaPlaylistTags tags_;
  ExtraTagMap extraTags_;
};

}  // namespace ombrelia
