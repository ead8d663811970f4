#pragma once
// Test thread only.

#include <cstddef>
#include <string>
#include <vector>

namespace ombrelia::test {

// The local URLs in a rewritten playlist, in order.
std::vector<std::string> localUrlsIn(const std::string& playlist);

// What a player got playing a stream through a viewer.
struct Playback {
  size_t segments = 0;
  // Empty when every segment was, byte for byte, the origin's file; else the first difference.
  std::string failure;
};

// Plays a stream as a player does, through a viewer: the master playlist at `masterLocalUrl`,
// its first variant's media playlist, then every segment. Each segment must be the file at its
// origin path below `documentRoot`, once `servedPrefix` (a path the origin serves the same files
// under, such as "/paced/65536") is taken off that path.
Playback playThrough(const std::string& masterLocalUrl, const std::string& documentRoot,
                     const std::string& servedPrefix = "");

}  // namespace ombrelia::test
