#pragma once
// Any thread: a value type.

#include <string>
#include <variant>

#include "playlist/tags/TagError.hpp"

namespace ombrelia {

// Why a parse gave no playlist: the text is not a playlist of the asked kind, or one of its tag
// lines could not be built.
class PlaylistParseError {
 public:
  enum class Kind { malformedPlaylist, tag };

  static PlaylistParseError malformedPlaylist() { return PlaylistParseError(std::monostate{}); }
  PlaylistParseError(TagError error) : error_(std::move(error)) {}  // NOLINT

  Kind kind() const { return error_.index() == 0 ? Kind::malformedPlaylist : Kind::tag; }
  // The tag error; only for Kind::tag.
  const TagError& tagError() const { return std::get<TagError>(error_); }
  std::string errorDescription() const {
    if (kind() == Kind::malformedPlaylist) return "Malformed playlist, missing required elements";
    return tagError().errorDescription();
  }

  friend bool operator==(const PlaylistParseError&, const PlaylistParseError&) = default;

 private:
  explicit PlaylistParseError(std::monostate none) : error_(none) {}
  std::variant<std::monostate, TagError> error_;
};

}  // namespace ombrelia
