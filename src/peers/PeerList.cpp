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

}  // namespace

PeerList& PeerList::shared() {
  static PeerList* list = new PeerList();  // lives until the process ends
  return *list;
}

PeerList::PeerList() : slots_(ConnectionSlots::create()) {}

std::shared_ptr<WebRTCClient> PeerList::makeClient(const Uuid& uuid,
                                                   std::shared_ptr<ConnectionSlots::Slot> slot) {
  auto client = WebRTCClient::create(WebRTCConfig::defaultConfig().webRTCIceServers);
  if (!client) {
    OmbreliaLogger::error("no connection for peer, not added: " + uuid.uuidString(),
                          OLogModule::peerList);
    return nullptr;
  }
  client->onTransportsGone([slot = std::move(slot)]() mutable { slot.reset(); });
  return client;
}

std::vector<Peer> PeerList::peers() const {
  std::lock_guard lock(mutex_);
  return peers_;
}

void PeerList::setPeers(std::vector<Peer> peers) {
  std::lock_guard lock(mutex_);
  peers_.swap(peers);
  forgetUnlisted();
  const auto now = platform::MonotonicClock::now();
  for (const auto& peer : peers_) listedSince_.try_emplace(peer.uuid, now);
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
  if (peerExists(listItem.uuid())) return;
  auto slot = admit(listItem.uuid(), false, "not adding peer");
  if (!slot) return;
  Peer peer = peerFrom(listItem);
  log("add peer: " + peer.uuid.uuidString());
  peer.webRTCClient = makeClient(peer.uuid, std::move(slot));
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
    listedSince_.erase(uuid);
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
    forgetUnlisted();
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
  std::optional<TimePoint> since;
  {
    std::lock_guard lock(mutex_);
    if (const auto it = listedSince_.find(remotePeerID); it != listedSince_.end()) {
      since = it->second;
    }
  }
  // Weighed before the listed connection is touched: a refused offer leaves it as it was.
  auto slot = admit(remotePeerID, since.has_value(), "refusing offer from");
  if (!slot) return;
  if (since) {
    log("receivedOffer, from existing peer, removing: " + remotePeerID.uuidString());
    disconnectFromPeer(remotePeerID);
    removePeer(remotePeerID);
  }
  log("receivedOffer, add peer: " + remotePeerID.uuidString());
  Peer peer{remotePeerID,
            std::nullopt,
            std::nullopt,
            std::nullopt,
            std::nullopt,
            std::nullopt,
            makeClient(remotePeerID, std::move(slot))};
  if (!peer.webRTCClient) return;
  bindNegotiation(*peer.webRTCClient, remotePeerID);
  // The client applies the offer and runs the completion before it returns, so the answer is
  // requested before the peer is listed. An offer the framework refuses is answered by nothing,
  // and a peer listed with it would only wait for the channel-open bound.
  if (!peer.webRTCClient->setRemoteSdp(sdp.sdp, [&peer] { post(kGroupPeerSendAnswer, peer); })) {
    log("receivedOffer, not applied, dropping: " + remotePeerID.uuidString());
    peer.webRTCClient->close();
    return;
  }
  if (!append(peer, since)) return;
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
    listedSince_.clear();
  }
  for (const auto& peer : removed) {
    if (peer.webRTCClient) peer.webRTCClient->close();
  }
}

size_t PeerList::connectionsAliveOrClosing() const { return slots_->total(); }

std::shared_ptr<ConnectionSlots::Slot> PeerList::admit(const Uuid& uuid, bool replacing,
                                                       const std::string& refusal) {
  const size_t totalLimit = replacing ? kMaxConnections - kReservedForNewcomers : kMaxConnections;
  auto taken = slots_->take(uuid, totalLimit, kMaxConnectionsPerPeer);
  if (const auto* refused = taken.errorIf()) {
    const std::string why =
        refused->reason == ConnectionSlots::Refusal::Reason::peerBusy
            ? "its connections replaced before are still closing"
            : std::to_string(refused->total) + " connections are alive or closing";
    OmbreliaLogger::info(refusal + ": " + uuid.uuidString() + ", " + why, OLogModule::peerList);
    return nullptr;
  }
  if (replacing) return std::move(taken.value());
  {
    std::lock_guard lock(mutex_);
    if (peers_.size() < kMaxPeers) return std::move(taken.value());
  }
  const auto victim = evictable();
  if (!victim) {
    OmbreliaLogger::debug("peer list full, " + refusal + ": " + uuid.uuidString(),
                          OLogModule::peerList);
    return nullptr;
  }
  OmbreliaLogger::info("peer list full, making room for " + uuid.uuidString() + ": " +
                           victim->uuid.uuidString() + " never opened its channel",
                       OLogModule::peerList);
  if (victim->webRTCClient) {
    removePeer(*victim->webRTCClient);
  } else {
    removePeer(victim->uuid);
  }
  return std::move(taken.value());
}

std::optional<Peer> PeerList::evictable() const {
  std::vector<Peer> listed;
  std::map<Uuid, TimePoint> since;
  {
    std::lock_guard lock(mutex_);
    listed = peers_;
    since = listedSince_;
  }
  const auto latest = platform::MonotonicClock::now() - kEvictableAfter;
  std::optional<Peer> oldest;
  std::optional<TimePoint> oldestSince;
  for (const auto& peer : listed) {
    const auto it = since.find(peer.uuid);
    if (it == since.end() || it->second > latest) continue;
    // A channel that opened once is a peer that works, proven or not: never dropped for this.
    if (peer.webRTCClient && peer.webRTCClient->everOpened()) continue;
    if (!oldestSince || it->second < *oldestSince) {
      oldest = peer;
      oldestSince = it->second;
    }
  }
  return oldest;
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

bool PeerList::append(const Peer& peer, std::optional<TimePoint> since) {
  bool appended = false;
  {
    std::lock_guard lock(mutex_);
    const bool listed = std::any_of(peers_.begin(), peers_.end(),
                                    [&](const Peer& listed) { return listed.uuid == peer.uuid; });
    if (!listed && peers_.size() < kMaxPeers) {
      peers_.push_back(peer);
      listedSince_[peer.uuid] = since.value_or(platform::MonotonicClock::now());
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

void PeerList::forgetUnlisted() {
  for (auto it = listedSince_.begin(); it != listedSince_.end();) {
    const bool listed = std::any_of(peers_.begin(), peers_.end(),
                                    [&](const Peer& peer) { return peer.uuid == it->first; });
    it = listed ? std::next(it) : listedSince_.erase(it);
  }
}

}  // namespace ombrelia
