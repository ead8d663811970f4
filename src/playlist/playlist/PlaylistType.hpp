#pragma once
// Any thread: plain values.

#include <optional>
#include <string_view>
#include <vector>

namespace ombrelia {

struct TagType;

// The kind of playlist a parse is asked for.
enum class PlaylistType { master, video, audio, subtitles };

// Exactly "master", "video", "audio" or "subtitles".
std::optional<PlaylistType> makePlaylistType(std::string_view rawValue);
std::string_view rawValue(PlaylistType type);
// The tag classes a parse of this kind recognises, in the order the parser tries them on a line.
std::vector<const TagType*> handledTagTypes(PlaylistType type);

}  // namespace ombrelia
