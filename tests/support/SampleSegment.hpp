#pragma once
// Any thread: stateless.

#include <cstdint>
#include <optional>

#include <ombrelia/SegmentInfo.hpp>

namespace ombrelia::test {

// A six-second video segment of the peer-exchange tests (800 kb/s, of a best 1.6 Mb/s): only its
// number and quality tell two apart.
inline SegmentInfo segment(int64_t number, int64_t quality = 1) {
  return SegmentInfo(SegmentType::video, 800000, 1600000, std::nullopt, quality, number, 6.0);
}

}  // namespace ombrelia::test
