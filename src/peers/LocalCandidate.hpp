#pragma once
// Any thread: a plain value.

#include <string>

namespace ombrelia {

// One ICE candidate this side gathered, with the media-stream identification it belongs to.
struct LocalCandidate {
  std::string candidate;
  std::string mid;
  // True when the burst of collected candidates had already been taken when this one arrived:
  // it belongs to no burst and must be sent on its own.
  bool afterBurst = false;

  friend bool operator==(const LocalCandidate&, const LocalCandidate&) = default;
};

}  // namespace ombrelia
