#pragma once
// Any thread: stateless; every call reads the reachability flags afresh.

#include <cstdint>

#include "protocol/NetworkType.hpp"

namespace ombrelia {

// Classifies the network path by its reachability flags.
class NetworkTypeChecker {
 public:
  static NetworkType getNetworkType();
  // The cellular flag decides even without the reachable flag; the reachable flag alone means
  // Wi-Fi; nothing else is looked at.
  static NetworkType networkType(uint32_t flags);
};

}  // namespace ombrelia
