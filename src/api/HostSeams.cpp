#include "api/HostSeams.hpp"

#include <memory>

#include "api/ProxyManagerSeams.hpp"
#include "peers/DataChannelFramework.hpp"
#include "peers/PeerConnectionFactory.hpp"
#include "signalling/SocketConfig.hpp"

namespace ombrelia {

void HostSeams::overrideProxyPort(std::optional<uint16_t> port) {
  ProxyManagerSeams::overridePort(port);
}

void HostSeams::overrideTrackerEndpoint(std::optional<Url> url) {
  SocketConfig::overrideDefaultEndpoint(std::move(url));
}

void HostSeams::useLoopbackPeers() {
  PeerConnectionFactory::overrideShared(
      std::make_shared<DataChannelFramework>(DataChannelFramework::loopbackSettings()));
}

}  // namespace ombrelia
