#pragma once
// Test thread only.

#include <string>
#include <string_view>

namespace ombrelia::test {

// The playlists ffmpeg wrote for tests/fixtures/playlists/ (see make-playlist-fixtures.sh).
class PlaylistFixtures {
 public:
  // The text of a fixture, by its path below tests/fixtures/playlists/ ("ts/master.m3u8").
  static std::string read(std::string_view relativePath);
  // The same text with every line feed turned into carriage return and line feed.
  static std::string withCrLf(std::string_view text);
};

}  // namespace ombrelia::test
