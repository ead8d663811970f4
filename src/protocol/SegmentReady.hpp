#pragma once
// Any thread: plain values.

#include <optional>

namespace ombrelia {

// The readiness a peer reports for a segment. The raw values travel in peer messages.
enum class SegmentReady : int { notok = 0, ok = 1, downloading = 2, otherQuality = 3 };

// 0 to 3 give the code; anything else none.
inline std::optional<SegmentReady> makeSegmentReady(long long rawValue) {
  if (rawValue < 0 || rawValue > 3)
    return std::nullopt;
  return static_cast<SegmentReady>(rawValue);
}

inline int rawValue(SegmentReady ready) {
  return static_cast<int>(ready);
}

} // namespace ombrelia
