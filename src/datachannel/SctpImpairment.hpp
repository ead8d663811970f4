#pragma once
// Any thread: a plain value; `filter` is called from whichever thread sends.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace ombrelia::datachannel {

// What a test puts on the path of the SCTP packets one side sends, as a lossy, slow or
// reordering network would. The default impairs nothing.
struct SctpImpairment {
  // Every `loseEvery`-th packet is lost (0 loses none).
  unsigned loseEvery = 0;
  // Each packet is lost with this chance, drawn from `seed`, so that a failing run repeats.
  double lossRate = 0.0;
  // Each packet that is not lost leaves after `delay` plus or minus up to `jitter`, drawn
  // uniformly: packets sent less than twice the jitter apart overtake each other.
  std::chrono::milliseconds delay{0};
  std::chrono::milliseconds jitter{0};
  // With a delay, each packet leaves at once with this chance, overtaking those held.
  double overtakeRate = 0.0;
  uint32_t seed = 1;
  // Sees every packet as it leaves SCTP, before any is lost or held (what a capture on the
  // sender's side of the path would show); a packet it returns false for is lost, as on a path
  // that drops packets of some kinds only.
  std::function<bool(const uint8_t* packet, size_t size)> filter;
  // Every acknowledgement this side sends advertises a receive window of 0, as a peer whose
  // application never reads would (or one that means to make the other side queue): the other
  // side then sends no more than a window probe at a time.
  bool shutWindow = false;
};

}  // namespace ombrelia::datachannel
