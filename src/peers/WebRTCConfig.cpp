#include "peers/WebRTCConfig.hpp"

namespace ombrelia {

namespace {

// The second one is written without a port and so uses STUN's own, 3478.
const std::vector<std::string> defaultIceServers = {"stun:stun.l.google.com:19302",
                                                    "stun:stun.cloudflare.com"};

}  // namespace

const WebRTCConfig& WebRTCConfig::defaultConfig() {
  static const WebRTCConfig config{defaultIceServers};
  return config;
}

}  // namespace ombrelia
