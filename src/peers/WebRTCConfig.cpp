#include "peers/WebRTCConfig.hpp"

namespace ombrelia {

const WebRTCConfig& WebRTCConfig::defaultConfig() {
  // Never destroyed: peers may still be listed, and their clients made, on a library thread
  // while the process exits. The second server is written without a port and so uses STUN's
  // own, 3478.
  static const auto* config = new WebRTCConfig{
      std::vector<std::string>{"stun:stun.l.google.com:19302", "stun:stun.cloudflare.com"}};
  return *config;
}

}  // namespace ombrelia
