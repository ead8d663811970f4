#pragma once
// One thread at a time: owned by the analytics service and touched only under its lock.

#include <cstdint>
#include <optional>

#include "protocol/PeerType.hpp"

namespace ombrelia {

// Bytes exchanged with peers since the service began, by the peer's proximity class, with the
// proximity-weighted sum the green score is made of.
class DataP2P {
 public:
  // Weights of a byte by proximity: the closer the peer, the less of the network it crossed.
  static constexpr double FACTOR_IP = 1.25;
  static constexpr double FACTOR_CITY = 1.15;
  static constexpr double FACTOR_REGION = 1.05;
  static constexpr double FACTOR_COUNTRY = 1.0;

  // One transfer; an unknown or absent class counts only in `p2p`. Counters stay at their bound
  // rather than wrap.
  void updateValue(std::optional<PeerType> type, int64_t dataSize);

  int64_t country = 0;
  int64_t region = 0;
  int64_t city = 0;
  int64_t ip = 0;
  int64_t p2p = 0;
  double factor = 0.0;
};

}  // namespace ombrelia
