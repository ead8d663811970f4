#pragma once
// Any thread: current() asks the classifiers and the peer list; the result is a plain value.

#include "protocol/DeviceType.hpp"
#include "protocol/NetworkType.hpp"

namespace ombrelia {

// What a counted segment or a mirrored figure is classified by, taken at the moment it is
// counted. The analytics service takes it before its own lock: the peer list and the WebRTC
// clients have locks of their own that must never be taken inside it.
struct MetricsContext {
  DeviceType device = DeviceType::unknown;
  NetworkType network = NetworkType::unknown;
  // At least one peer of the group has a client whose data channel is open.
  bool peerConnected = false;

  static MetricsContext current();
  static bool anyPeerConnected();
};

}  // namespace ombrelia
