#pragma once
// Any thread: a value type.

#include <cstdint>

#include "protocol/SegmentReady.hpp"
#include "store/SegmentPosition.hpp"

namespace ombrelia {

// The segment store's answer to a peer asking about one segment.
struct SegmentAvailabilityAndPosition {
  SegmentPosition pos;
  SegmentReady sr;
  int64_t qa;  // the quality asked about, or -1 when the segment is not available
};

}  // namespace ombrelia
