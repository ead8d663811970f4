#include "peers/PeerList.hpp"

#include <algorithm>
#include <functional>
#include <optional>
#include <string_view>

#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include "foundation/RepeatedLog.hpp"
#include "peers/IceCandidate.hpp"
#include "peers/SessionDescription.hpp"
#include "peers/WebRTCClient.hpp"
#include "peers/WebRTCConfig.hpp"
#include "platform/NotificationCenter.hpp"
#include "protocol/GroupListItem.hpp"

namespace ombrelia {

namespace {

void log(const std::string& message) { OmbreliaLogger::debug(message, OLogModule::peerList); }

// The tracker relays offers and names peers as often as it likes, from as many identifiers as
// it likes: a refusal is told once per cause and identifier (`party`), or once per cause when it
// is about this viewer's own state, whoever is refused; the repeats are counted.
void refusalLine(std::string_view cause, std::optional<Uuid> party,
                 const std::function<std::string()>& message, OLogLevel level = OLogLevel::info) {
  RepeatedLog::shared().logEachAtDebug(
      cause, party ? std::hash<Uuid>{}(*party) : RepeatedLog::kOtherParties, message,
      OLogModule::peerList, level);
}

void post(const char* name, const Peer& peer) {
  platform::NotificationCenter::defaultCenter().post(name, peer);
}

size_t socketsPerClient() {
  return WebRTCClient::socketsPerClient(WebRTCConfig::defaultConfig().webRTCIceServers);
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
  auto client =
      WebRTCClient::create(WebRTCConfig::defaultConfig().webRTCIceServers, slot->sockets());
  if (!client) {
    refusalLine(
        "no connection for peer", std::nullopt,
        [&] { return "no connection for peer, not added: " + uuid.uuidString(); },
        OLogLevel::error);
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
  for (const auto& peer : peers_)
    standing_.try_emplace(peer.uuid, Standing{now, std::nullopt, false, nullptr});
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

void PeerList::addPeer(const GroupListItem& listItem, const std::shared_ptr<PeerOwner>& owner) {
  if (!peerExchangeEnabled()) return;
  if (isRetired(owner) || peerExists(listItem.uuid())) return;
  auto slot = admit(listItem.uuid(), false, socketsPerClient(), "not adding peer");
  if (!slot) return;
  makeRoom(listItem.uuid());
  Peer peer = peerFrom(listItem);
  log("add peer: " + peer.uuid.uuidString());
  peer.webRTCClient = makeClient(peer.uuid, std::move(slot));
  if (!peer.webRTCClient) return;
  bindNegotiation(*peer.webRTCClient, peer.uuid);
  post(kNewGroupPeerSendOffer, peer);
  if (!append(peer, owner)) return;
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
    if (const auto it = standing_.find(uuid); it != standing_.end()) {
      keepDeparted(uuid, it->second);
      standing_.erase(it);
    }
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

void PeerList::updateUserRemoteSdp(const SessionDescription& sdp, const Uuid& remotePeerID,
                                   const std::shared_ptr<PeerOwner>& owner) {
  if (sdp.type != SdpType::offer) {
    auto peer = this->peer(remotePeerID);
    if (!peer || !peer->webRTCClient) return;
    peer->webRTCClient->setRemoteSdp(sdp.sdp, [&peer] { post(kGroupPeerSendCandidate, *peer); });
    return;
  }
  // A peer that offers is let in on the same terms as one the group names.
  if (!peerExchangeEnabled() || isRetired(owner)) return;
  const auto standing = standingOf(remotePeerID);
  if (!standing) {
    // Whether it ended its own connection or was dropped, it comes back at the same pace.
    if (const auto age = departedConnectionAge(remotePeerID)) {
      refusalLine("offer from a departed peer", remotePeerID, [&] {
        return "refusing offer from: " + remotePeerID.uuidString() +
               ", its last connection was made " +
               std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(*age).count()) +
               " ms ago";
      });
      return;
    }
  }
  if (standing && standing->replacedAt) {
    const auto age = platform::MonotonicClock::now() - *standing->replacedAt;
    if (age < kMinReplacementInterval) {
      refusalLine("offer replacing too soon", remotePeerID, [&] {
        return "refusing offer from: " + remotePeerID.uuidString() +
               ", it replaced its connection " +
               std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(age).count()) +
               " ms ago";
      });
      return;
    }
  }
  // Weighed before the listed connection is touched: a refused offer leaves it as it was.
  auto slot = admit(remotePeerID, standing.has_value(), socketsPerClient(), "refusing offer from");
  if (!slot) return;
  Peer peer{remotePeerID,
            std::nullopt,
            std::nullopt,
            std::nullopt,
            std::nullopt,
            std::nullopt,
            makeClient(remotePeerID, std::move(slot))};
  if (!peer.webRTCClient) return;
  bindNegotiation(*peer.webRTCClient, remotePeerID);
  // Applied before anyone listed makes way for it: an offer the framework refuses would be
  // answered by nothing, and would only have cost a listed peer its place.
  if (!peer.webRTCClient->setRemoteSdp(sdp.sdp, nullptr)) {
    log("receivedOffer, not applied, dropping: " + remotePeerID.uuidString());
    peer.webRTCClient->close();
    return;
  }
  std::optional<Standing> earned;
  if (standing) {
    log("receivedOffer, from existing peer, removing: " + remotePeerID.uuidString());
    earned = standingOf(remotePeerID);
    const auto listed = this->peer(remotePeerID);
    if (earned) {
      earned->replacedAt = platform::MonotonicClock::now();
      if (listed && listed->webRTCClient && listed->webRTCClient->everOpened()) {
        earned->opened = true;
      }
    }
    disconnectFromPeer(remotePeerID);
    removePeer(remotePeerID);
  } else {
    makeRoom(remotePeerID);
  }
  log("receivedOffer, add peer: " + remotePeerID.uuidString());
  // The offer is applied: the answer is asked for before the peer is listed.
  post(kGroupPeerSendAnswer, peer);
  if (!append(peer, owner, earned)) return;
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

void PeerList::retire(const std::shared_ptr<PeerOwner>& owner) {
  if (!owner) return;
  std::vector<Peer> owned;
  {
    std::lock_guard lock(mutex_);
    // Set under the lock append() tests it under: a negotiation of this owner's still under way
    // either lists its peer before the peers are gathered below, or lists nothing.
    owner->retired_ = true;
    for (const auto& peer : peers_) {
      const auto it = standing_.find(peer.uuid);
      if (it != standing_.end() && it->second.owner == owner) owned.push_back(peer);
    }
  }
  for (const auto& peer : owned) {
    log("owner retired, removing peer: " + peer.uuid.uuidString());
    // By its client: a peer of that identifier another owner has listed since stays.
    if (peer.webRTCClient) {
      removePeer(*peer.webRTCClient);
    } else {
      removePeer(peer.uuid);
    }
  }
}

bool PeerList::isRetired(const std::shared_ptr<PeerOwner>& owner) const {
  if (!owner) return false;
  std::lock_guard lock(mutex_);
  return owner->retired_;
}

void PeerList::removeAll() {
  std::vector<Peer> removed;
  {
    std::lock_guard lock(mutex_);
    removed.swap(peers_);
    standing_.clear();
    departed_.clear();
  }
  for (const auto& peer : removed) {
    if (peer.webRTCClient) peer.webRTCClient->close();
  }
}

size_t PeerList::connectionsAliveOrClosing() const { return slots_->total(); }

size_t PeerList::socketsAliveOrClosing() const { return slots_->sockets(); }

std::shared_ptr<ConnectionSlots::Slot> PeerList::admit(const Uuid& uuid, bool replacing,
                                                       size_t sockets, const std::string& refusal) {
  // Replacements leave the newcomers' share, counted in connections like this one.
  const size_t reserved = replacing ? kReservedForNewcomers : 0;
  const size_t reservedSockets = replacing ? PeerList::reservedSockets(sockets) : 0;
  auto taken =
      slots_->take(uuid, sockets,
                   ConnectionSlots::Limits{kMaxConnections - reserved,
                                           kMaxSockets - reservedSockets, kMaxConnectionsPerPeer});
  if (const auto* refused = taken.errorIf()) {
    // Only a busy identifier is refused for what it did itself; the other two are about this
    // viewer's connections, whoever offers.
    std::string why;
    std::optional<Uuid> party;
    switch (refused->reason) {
      case ConnectionSlots::Refusal::Reason::peerBusy:
        why = "its connections replaced before are still closing";
        party = uuid;
        break;
      case ConnectionSlots::Refusal::Reason::tooMany:
        why = std::to_string(refused->total) + " connections are alive or closing";
        break;
      case ConnectionSlots::Refusal::Reason::tooManySockets:
        why = std::to_string(refused->total) + " connections alive or closing may hold " +
              std::to_string(refused->sockets) + " descriptors, no room for " +
              std::to_string(sockets) + " more";
        break;
    }
    refusalLine(refusal + ", reason " + std::to_string(static_cast<int>(refused->reason)), party,
                [&] { return refusal + ": " + uuid.uuidString() + ", " + why; });
    return nullptr;
  }
  if (replacing) return std::move(taken.value());
  {
    std::lock_guard lock(mutex_);
    if (peers_.size() < kMaxPeers) return std::move(taken.value());
  }
  if (!evictable()) {
    OmbreliaLogger::debug("peer list full, " + refusal + ": " + uuid.uuidString(),
                          OLogModule::peerList);
    return nullptr;
  }
  return std::move(taken.value());
}

void PeerList::makeRoom(const Uuid& newcomer) {
  {
    std::lock_guard lock(mutex_);
    if (peers_.size() < kMaxPeers) return;
  }
  const auto victim = evictable();
  // None left meanwhile: the newcomer is not listed either (append()).
  if (!victim) return;
  // Each newcomer may be a new identifier of one participant.
  refusalLine("peer list full, making room", std::nullopt, [&] {
    return "peer list full, making room for " + newcomer.uuidString() + ": " +
           victim->uuid.uuidString() + " never opened its channel";
  });
  if (victim->webRTCClient) {
    removePeer(*victim->webRTCClient);
  } else {
    removePeer(victim->uuid);
  }
}

std::optional<Peer> PeerList::evictable() const {
  std::vector<Peer> listed;
  std::map<Uuid, Standing> standing;
  {
    std::lock_guard lock(mutex_);
    listed = peers_;
    standing = standing_;
  }
  const auto latest = platform::MonotonicClock::now() - kEvictableAfter;
  std::optional<Peer> oldest;
  std::optional<TimePoint> oldestSince;
  for (const auto& peer : listed) {
    const auto it = standing.find(peer.uuid);
    if (it == standing.end() || it->second.since > latest) continue;
    // A channel that opened once is a peer that works, proven or not: never dropped for this,
    // also while a new offer of its own negotiates afresh.
    if (it->second.opened || (peer.webRTCClient && peer.webRTCClient->everOpened())) continue;
    if (!oldestSince || it->second.since < *oldestSince) {
      oldest = peer;
      oldestSince = it->second.since;
    }
  }
  return oldest;
}

std::optional<PeerList::Standing> PeerList::standingOf(const Uuid& uuid) const {
  std::lock_guard lock(mutex_);
  const auto it = standing_.find(uuid);
  if (it == standing_.end()) return std::nullopt;
  return it->second;
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

bool PeerList::append(const Peer& peer, const std::shared_ptr<PeerOwner>& owner,
                      std::optional<Standing> earned) {
  bool appended = false;
  {
    std::lock_guard lock(mutex_);
    const bool listed = std::any_of(peers_.begin(), peers_.end(),
                                    [&](const Peer& listed) { return listed.uuid == peer.uuid; });
    const bool retired = owner && owner->retired_;
    if (!listed && !retired && peers_.size() < kMaxPeers) {
      peers_.push_back(peer);
      auto& standing = standing_[peer.uuid];
      standing =
          earned.value_or(Standing{platform::MonotonicClock::now(), std::nullopt, false, nullptr});
      standing.owner = owner;
      departed_.erase(peer.uuid);
      appended = true;
    }
  }
  if (!appended) {
    OmbreliaLogger::debug("peer listed meanwhile, list full or its owner retired, dropping: " +
                              peer.uuid.uuidString(),
                          OLogModule::peerList);
    peer.webRTCClient->close();
  }
  return appended;
}

void PeerList::forgetUnlisted() {
  for (auto it = standing_.begin(); it != standing_.end();) {
    const bool listed = std::any_of(peers_.begin(), peers_.end(),
                                    [&](const Peer& peer) { return peer.uuid == it->first; });
    if (listed) {
      ++it;
      continue;
    }
    keepDeparted(it->first, it->second);
    it = standing_.erase(it);
  }
}

void PeerList::keepDeparted(const Uuid& uuid, const Standing& standing) {
  const auto now = platform::MonotonicClock::now();
  // Entries whose interval has passed hold nothing back any more.
  std::erase_if(departed_,
                [&](const auto& entry) { return now - entry.second >= kMinReplacementInterval; });
  const TimePoint connectedAt = standing.connectedAt();
  if (now - connectedAt >= kMinReplacementInterval) {
    departed_.erase(uuid);
    return;
  }
  departed_[uuid] = std::max(departed_[uuid], connectedAt);
  if (departed_.size() <= kMaxDepartedIdentifiers) return;
  departed_.erase(
      std::min_element(departed_.begin(), departed_.end(),
                       [](const auto& a, const auto& b) { return a.second < b.second; }));
}

std::optional<platform::MonotonicClock::duration> PeerList::departedConnectionAge(
    const Uuid& uuid) const {
  std::lock_guard lock(mutex_);
  const auto it = departed_.find(uuid);
  if (it == departed_.end()) return std::nullopt;
  const auto age = platform::MonotonicClock::now() - it->second;
  if (age >= kMinReplacementInterval) return std::nullopt;
  return age;
}

size_t PeerList::reservedSockets(size_t sockets) {
  const size_t replacement = std::min(kMaxSockets, kMaxConnectionsPerPeer * sockets);
  return std::min(
      {kReservedForNewcomers * sockets, kReservedSocketShare, kMaxSockets - replacement});
}

}  // namespace ombrelia
