#include "analytics/NetworkTypeChecker.hpp"

#include "platform/Reachability.hpp"

namespace ombrelia {

NetworkType NetworkTypeChecker::getNetworkType() {
  return networkType(platform::Reachability::flags());
}

NetworkType NetworkTypeChecker::networkType(uint32_t flags) {
  if ((flags & platform::Reachability::kIsWWAN) != 0) return NetworkType::cellular;
  if ((flags & platform::Reachability::kReachable) != 0) return NetworkType::wifi;
  return NetworkType::unknown;
}

}  // namespace ombrelia
