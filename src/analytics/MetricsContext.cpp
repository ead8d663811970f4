#include "protocol/MetricsContext.hpp"

#include "analytics/DeviceTypeChecker.hpp"
#include "analytics/NetworkTypeChecker.hpp"
#include "peers/PeerList.hpp"
#include "peers/WebRTCClient.hpp"

namespace ombrelia {

MetricsContext MetricsContext::current() {
  return MetricsContext{DeviceTypeChecker::currentDeviceType(),
                        NetworkTypeChecker::getNetworkType(), anyPeerConnected()};
}

bool MetricsContext::anyPeerConnected() {
  for (const auto& peer : PeerList::shared().peers()) {
    if (peer.webRTCClient && peer.webRTCClient->isConnected()) return true;
  }
  return false;
}

}  // namespace ombrelia
