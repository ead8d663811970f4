#pragma once
// Any thread: pure functions.

#include <string_view>
#include <vector>

namespace ombrelia::platform {

// Splits playlist text into lines. Line feed, vertical tab, form feed, carriage return, NEL
// (U+0085), LINE SEPARATOR (U+2028) and PARAGRAPH SEPARATOR (U+2029) each end a line, and a
// carriage return followed by a line feed is one line end: CR LF playlists are common and must
// not grow an empty line after every line. The Unicode separators are matched as whole UTF-8
// sequences, so their bytes inside other characters never split a line. Text after the last
// separator is the last line; a text ending in a separator ends with an empty line, so joining
// the lines with "\n" keeps a trailing newline.
std::vector<std::string_view> splitPlaylistLines(std::string_view text);

}  // namespace ombrelia::platform
