#pragma once
// Any thread: pass() may be called from any thread, one call at a time or several at once; the
// delayed packets leave on the GlibLoop thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <vector>

#include "datachannel/SctpImpairment.hpp"

namespace ombrelia::datachannel {

// Loses, delays and so reorders the SCTP packets of one side, for tests of a bad path.
class SctpImpairer {
 public:
  // Hands packets, laid out back to back with their ends, to the path below SCTP.
  using Send = std::function<void(const uint8_t* bytes, const std::vector<size_t>& ends)>;

  explicit SctpImpairer(const SctpImpairment& impairment);

  // The packets that survive go through `send`: at once, together, when there is no delay;
  // otherwise each one later on its own, from the loop thread.
  void pass(const uint8_t* bytes, const std::vector<size_t>& ends, const Send& send);

 private:
  // With mutex_ held.
  bool loses();
  bool chance(double rate);
  std::chrono::milliseconds delay();

  const SctpImpairment impairment_;
  std::mutex mutex_;  // guards the count and the generator
  unsigned long long count_ = 0;
  std::mt19937 random_;
};

}  // namespace ombrelia::datachannel
