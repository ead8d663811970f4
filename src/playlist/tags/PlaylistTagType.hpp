#pragma once
// Any thread: plain values.

#include <optional>
#include <string_view>

#include "playlist/tags/StringInitializable.hpp"

namespace ombrelia {

enum class PlaylistTagType { vod, event };

std::string_view rawValue(PlaylistTagType value);

// Built from the exact raw value ("VOD" or "EVENT"), case-sensitive.
template <>
struct StringInitializable<PlaylistTagType> {
  static constexpr std::string_view typeName = "PlaylistTagType";
  static std::optional<PlaylistTagType> make(std::string_view text) {
    if (text == "VOD") return PlaylistTagType::vod;
    if (text == "EVENT") return PlaylistTagType::event;
    return std::nullopt;
  }
};

}  // namespace ombrelia
