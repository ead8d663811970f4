#include "analytics/MetricsContextSource.hpp"

#include "analytics/DeviceTypeChecker.hpp"
#include "analytics/NetworkTypeChecker.hpp"
#include "peers/PeerList.hpp"
#include "peers/WebRTCClient.hpp"

namespace ombrelia {

MetricsContext MetricsContextSource::current() {
  return MetricsContext{DeviceTypeChecker::currentDeviceType(),
                        NetworkTypeChecker::getNetworkType(), anyPeerConnected()};
}

bool MetricsContextSource::anyPeerConnected() {
  for (const auto& peer : PeerList::shared().peers()) {
    if (peer.webRTCClient && peer.webRTCClient->isConnected()) return true;
  }
  return false;
}

}  // namespace ombrelia
