#pragma once
// Any thread: plain values.

#include <optional>

namespace ombrelia {

// Where a segment stands in this viewer's store. The raw values travel in peer messages.
enum class SegmentPosition : int {
  notAvailable = 0,
  downloading = 1,
  slightlyAhead = 2,
  available = 3
};

// 0 to 3 give the position; anything else none.
inline std::optional<SegmentPosition> makeSegmentPosition(long long rawValue) {
  if (rawValue < 0 || rawValue > 3) return std::nullopt;
  return static_cast<SegmentPosition>(rawValue);
}

inline int rawValue(SegmentPosition position) { return static_cast<int>(position); }

}  // namespace ombrelia
