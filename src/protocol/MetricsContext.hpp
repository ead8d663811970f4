#pragma once
// Any thread: a plain value.

#include "protocol/DeviceType.hpp"
#include "protocol/NetworkType.hpp"

namespace ombrelia {

// What a counted segment or a mirrored figure is classified by, as it was at the moment it was
// counted. The analytics layer takes it (MetricsContextSource); the records only read it.
struct MetricsContext {
  DeviceType device = DeviceType::unknown;
  NetworkType network = NetworkType::unknown;
  // At least one peer of the group has a client whose data channel is open.
  bool peerConnected = false;
};

}  // namespace ombrelia
