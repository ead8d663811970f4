#pragma once
// Any thread: the default is built once and never changes.

#include <string>
#include <vector>

namespace ombrelia {

// The ICE servers handed to every new WebRTC client.
struct WebRTCConfig {
  std::vector<std::string> webRTCIceServers;

  // Two public STUN servers, the one on port 19302 first. Tests and the demo replace them with
  // none through the peer-connection factory's seam.
  static const WebRTCConfig& defaultConfig();
};

}  // namespace ombrelia
