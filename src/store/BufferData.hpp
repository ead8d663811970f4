#pragma once
// Any thread: a value type.

namespace ombrelia {

// How much of a stream is stored from a given segment on.
struct BufferData {
  double bufferSeconds = 0;
  double nrOfSegments = 0;  // a whole count, kept as a number as the peer messages carry it
};

}  // namespace ombrelia
