#pragma once
// Any thread: an immutable value.

#include "playlist/playlist/MasterPlaylistTags.hpp"
#include "playlist/playlist/Playlist.hpp"

namespace ombrelia {

// A parsed master playlist.
class MasterPlaylist : public Playlist {
 public:
  MasterPlaylist(std::string originalText, std::optional<std::string> alteredText, Url baseUrl,
                 MasterPlaylistTags tags, ExtraTagMap extraTags)
      : originalText_(std::move(originalText)),
        alteredText_(std::move(alteredText)),
        baseUrl_(std::move(baseUrl)),
        tags_(std::move(tags)),
        extraTags_(std::move(extraTags)) {}

  const std::string& originalText() const override { return originalText_; }
  const std::optional<std::string>& alteredText() const override { return alteredText_; }
  PlaylistType type() const override { return PlaylistType::master; }
  const Url& baseUrl() const override { return baseUrl_; }
  const MasterPlaylistTags& tags() const { return tags_; }
  const ExtraTagMap& extraTags() const override { return extraTags_; }

 private:
  std::string originalText_;
  std::optional<std::string> alteredText_;

  Url baseUrl_;
  MasterPlaylistTags tags_;
  ExtraTagMap extraTags_;
};

}  // namespace ombrelia
