#include "peers/PeerList.hpp"

#include <algorithm>

#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include "peers/IceCandidate.hpp"
#include "peers/SessionDescription.hpp"
#include "peers/WebRTCClient.hpp"
#include "peers/WebRTCConfig.hpp"
#include "platform/NotificationCenter.hpp"
#include "protocol/GroupListItem.hpp"

namespace ombrelia {

namespace {

void log(const std::string& message) { OmbreliaLogger::debug(message, OLogModule::peerList); }

void post(const char* name, const Peer& peer) {
  platform::NotificationCenter::defaultCenter().post(name, peer);
}

bool peerExchangeEnabled() {
  const auto& config = OmbreliaConfig::shared();
  return config.p2pActivated() && config.activated();
}

std::shared_ptr<WebRTCClient> makeClient(const Uuid& uuid) {
  auto client = WebRTCClient::create(WebRTCConfig::defaultConfig().webRTCIceServers);
  if (!client) {
    OmbreliaLogger::error("no connection for peer, not added: " + uuid.uuidString(),
                          OLogModule::peerList);
  }
  return client;
}

}  // namespace

PeerList& PeerList::shared() {
  static PeerList* list = new PeerList();  // lives until the process ends
  return *list;
}

std::vector<Peer> PeerList::peers() const {
  std::lock_guard lock(mutex_);
  return peers_;
}

void PeerList::setPeers(std::vector<Peer> peers) {
  std::lock_guard lock(mutex_);
  peers_.swap(peers);
  // The old records leave with the argument, once the lock is released: a client's last
  // release closes its connection.
}

std::optional<Uuid> PeerList::personalUUID() const {
  std::lock_guard lock(mutex_);
  return personalUUID_;
}

void PeerList::setPersonalUUID(std::optional<Uuid> uuid) {
  std::lock_guard lock(mutex_);
  if (uuid && uuid != personalUUID_) ++identities_;
  personalUUID_ = uuid;
}

void PeerList::updatePersonalUUID(const Uuid& uuid) { setPersonalUUID(uuid); }

void PeerList::addPeer(const GroupListItem& listItem) {
  if (!peerExchangeEnabled()) return;
  {
    std::lock_guard lock(mutex_);
    const bool listed = std::any_of(peers_.begin(), peers_.end(),
                                    [&](const Peer& peer) { return peer.uuid == listItem.uuid(); });
    if (listed) return;
    if (peers_.size() >= kMaxPeers) {
      OmbreliaLogger::debug("peer list full, not adding peer: " + listItem.uuid().uuidString(),
                            OLogModule::peerList);
      return;
    }
  }
  Peer peer = peerFrom(listItem);
  log("add peer: " + peer.uuid.uuidString());
  peer.webRTCClient = makeClient(peer.uuid);
  if (!peer.webRTCClient) return;
  bindNegotiation(*peer.webRTCClient, peer.uuid);
  post(kNewGroupPeerSendOffer, peer);
  if (!append(peer)) return;
  post(kNewGroupPeer, peer);
}

void PeerList::removePeer(const Uuid& uuid) {
  log("remove peer: " + uuid.uuidString());
  platform::NotificationCenter::defaultCenter().post(kPeerDisconected, uuid);
  std::vector<Peer> removed;
  {
    std::lock_guard lock(mutex_);
    auto kept = std::stable_partition(peers_.begin(), peers_.end(),
                                      [&](const Peer& peer) { return peer.uuid != uuid; });
    removed.assign(std::make_move_iterator(kept), std::make_move_iterator(peers_.end()));
    peers_.erase(kept, peers_.end());
  }
  for (const auto& peer : removed) {
    if (peer.webRTCClient) peer.webRTCClient->close();
  }
}

void PeerList::removePeer(WebRTCClient& client) {
  const auto listed = peer(client);
  if (!listed) return;
  log("remove peer: " + listed->uuid.uuidString());
  platform::NotificationCenter::defaultCenter().post(kPeerDisconected, listed->uuid);
  {
    std::lock_guard lock(mutex_);
    peers_.erase(
        std::remove_if(peers_.begin(), peers_.end(),
                       [&](const Peer& peer) { return peer.webRTCClient.get() == &client; }),
        peers_.end());
  }
  client.close();
}

void PeerList::disconnectFromPeer(const Uuid& uuid) {
  std::shared_ptr<WebRTCClient> client;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(peers_.begin(), peers_.end(),
                           [&](const Peer& peer) { return peer.uuid == uuid; });
    if (it == peers_.end()) return;
    client.swap(it->webRTCClient);
  }
  if (client) client->close();
}

void PeerList::updateUserRemoteSdp(const SessionDescription& sdp, const Uuid& remotePeerID) {
  if (sdp.type != SdpType::offer) {
    auto peer = this->peer(remotePeerID);
    if (!peer || !peer->webRTCClient) return;
    peer->webRTCClient->setRemoteSdp(sdp.sdp, [&peer] { post(kGroupPeerSendCandidate, *peer); });
    return;
  }
  // A peer that offers is let in on the same terms as one the group names.
  if (!peerExchangeEnabled()) return;
  if (peerExists(remotePeerID)) {
    log("receivedOffer, from existing peer, removing: " + remotePeerID.uuidString());
    disconnectFromPeer(remotePeerID);
    removePeer(remotePeerID);
  }
  {
    std::lock_guard lock(mutex_);
    if (peers_.size() >= kMaxPeers) {
      OmbreliaLogger::debug("peer list full, refusing offer from: " + remotePeerID.uuidString(),
                            OLogModule::peerList);
      return;
    }
  }
  log("receivedOffer, add peer: " + remotePeerID.uuidString());
  Peer peer{remotePeerID,
            std::nullopt,
            std::nullopt,
            std::nullopt,
            std::nullopt,
            std::nullopt,
            makeClient(remotePeerID)};
  if (!peer.webRTCClient) return;
  bindNegotiation(*peer.webRTCClient, remotePeerID);
  // The client applies the offer and runs the completion before it returns, so the answer is
  // requested before the peer is listed.
  peer.webRTCClient->setRemoteSdp(sdp.sdp, [&peer] { post(kGroupPeerSendAnswer, peer); });
  if (!append(peer)) return;
  post(kNewGroupPeer, peer);
}

void PeerList::updateUserRemoteCandidate(const IceCandidate& candidate, const Uuid& remotePeerID) {
  auto peer = this->peer(remotePeerID);
  if (!peer || !peer->webRTCClient) return;
  // "0" is the mid of the one data section every peer's description carries.
  const std::string mid = candidate.sdpMid.value_or("0");
  peer->webRTCClient->setRemoteCandidate(candidate.sdp, mid, [&peer](bool sendCandidates) {
    if (sendCandidates) post(kGroupPeerSendCandidate, *peer);
  });
}

std::optional<Peer> PeerList::peer(const WebRTCClient& with) const {
  std::lock_guard lock(mutex_);
  for (const auto& peer : peers_) {
    if (peer.webRTCClient.get() == &with) return peer;
  }
  return std::nullopt;
}

void PeerList::removeAll() {
  std::vector<Peer> removed;
  {
    std::lock_guard lock(mutex_);
    removed.swap(peers_);
  }
  for (const auto& peer : removed) {
    if (peer.webRTCClient) peer.webRTCClient->close();
  }
}

std::optional<Peer> PeerList::peer(const Uuid& with) const {
  std::lock_guard lock(mutex_);
  for (const auto& peer : peers_) {
    if (peer.uuid == with) return peer;
  }
  return std::nullopt;
}

bool PeerList::peerExists(const Uuid& with) const { return peer(with).has_value(); }

Peer PeerList::peerFrom(const GroupListItem& item) {
  return Peer{item.uuid(),       item.joinDate(), item.sameIP(), item.sameCountry(),
              item.sameRegion(), item.sameCity(), nullptr};
}

void PeerList::bindNegotiation(WebRTCClient& client, const Uuid& peer) const {
  std::optional<ConnectionProof::Identity> own;
  {
    std::lock_guard lock(mutex_);
    if (personalUUID_) own = ConnectionProof::Identity{*personalUUID_, identities_};
  }
  if (own) client.bindIdentity(*own, peer);
}

bool PeerList::append(const Peer& peer) {
  bool appended = false;
  {
    std::lock_guard lock(mutex_);
    const bool listed = std::any_of(peers_.begin(), peers_.end(),
                                    [&](const Peer& listed) { return listed.uuid == peer.uuid; });
    if (!listed && peers_.size() < kMaxPeers) {
      peers_.push_back(peer);
      appended = true;
    }
  }
  if (!appended) {
    OmbreliaLogger::debug("peer listed meanwhile or list full, dropping: " + peer.uuid.uuidString(),
                          OLogModule::peerList);
    peer.webRTCClient->close();
  }
  return appended;
}

}  // namespace ombrelia
