#include <ombrelia/PeerListManager.hpp>

#include "peers/PeerList.hpp"
#include "peers/WebRTCClient.hpp"

namespace ombrelia {

PeerListManager& PeerListManager::shared() {
  static PeerListManager instance;
  return instance;
}

void PeerListManager::removeAll() { PeerList::shared().removeAll(); }

int64_t PeerListManager::connectedPeerCount() const {
  int64_t count = 0;
  for (const auto& peer : PeerList::shared().peers()) {
    if (peer.webRTCClient && peer.webRTCClient->isConnected()) ++count;
  }
  return count;
}

}  // namespace ombrelia
