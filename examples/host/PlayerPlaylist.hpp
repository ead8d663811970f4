#pragma once
// Any thread: a value, parsed once and then only read.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ombrelia::example {

// What the example player reads from a playlist: the first variant of a master playlist, or
// the segments of a media playlist with their sequence numbers and whether more will come.
struct PlayerPlaylist {
  struct Segment {
    std::string uri;
    double duration = 0;
    int64_t sequence = 0;  // the media sequence number: the same segment in every reload
  };

  std::optional<std::string> firstVariant;  // present for a master playlist
  std::vector<Segment> segments;
  double targetDuration = 0;
  int64_t mediaSequence = 0;  // the first listed segment's sequence number
  // No EXT-X-ENDLIST and not declared VOD: the origin still appends segments, so the playlist
  // is reloaded.
  bool live = false;

  static PlayerPlaylist parse(const std::string& text);
  // The sequence number the next segment the origin appends will carry.
  int64_t endSequence() const { return mediaSequence + static_cast<int64_t>(segments.size()); }
};

}  // namespace ombrelia::example
