#include "p2p/PeerMessagesEnvironment.hpp"

#include "peers/PeerList.hpp"
#include "store/BufferingController.hpp"
#include "store/ManifestController.hpp"
#include "store/VideoStorage.hpp"

namespace ombrelia {

PeerMessagesEnvironment PeerMessagesEnvironment::shared() {
  PeerMessagesEnvironment environment;
  environment.peers = [] { return PeerList::shared().peers(); };
  environment.peerWith = [](const WebRTCClient& client) { return PeerList::shared().peer(client); };
  environment.personalUUID = [] { return PeerList::shared().personalUUID(); };
  environment.retire = [](WebRTCClient& client) { PeerList::shared().removePeer(client); };
  environment.storage = VideoStorage::shared();
  environment.bufferLength = [] { return BufferingController::shared().getBufferLength(); };
  environment.segmentDuration = [] { return ManifestController::getSagmentDuration(); };
  return environment;
}

}  // namespace ombrelia
