#include "p2p/Abonnement.hpp"

#include "p2p/PeerEngineSupport.hpp"
#include "peers/WebRTCClient.hpp"
#include "protocol/AbonnementRequestMessage.hpp"
#include "protocol/AbonnementResponseMessage.hpp"

namespace ombrelia {

std::optional<AbonnementPeer> Abonnement::peer() const {
  std::lock_guard lock(mutex_);
  return peer_;
}

std::optional<Abonnement::Subscribed> Abonnement::subscribed() const {
  std::lock_guard lock(mutex_);
  if (!peer_) return std::nullopt;
  return Subscribed{peer_->peer.webRTCClient, peer_->peer.uuid, generation_};
}

uint64_t Abonnement::generation() const {
  std::lock_guard lock(mutex_);
  return generation_;
}

bool Abonnement::subscribeIfNone(const Peer& peer) {
  {
    std::lock_guard lock(mutex_);
    if (peer_) return false;
    peer_ = AbonnementPeer{AbonnementState::potential, peer, std::nullopt,
                           PeerEngineSupport::wallClockNow(), std::nullopt};
    ++generation_;
    since_ = PeerEngineSupport::now();
  }
  PeerEngineSupport::debug(OLogModule::peerMessagesController,
                           [&] { return "subscription made with peer " + peer.uuid.uuidString(); });
  return true;
}

std::optional<uint64_t> Abonnement::generationIf(
    const std::function<bool(const AbonnementPeer&)>& predicate) const {
  std::lock_guard lock(mutex_);
  if (peer_ && predicate(*peer_)) return generation_;
  return std::nullopt;
}

void Abonnement::endUpTo(uint64_t generation) {
  std::lock_guard lock(mutex_);
  if (peer_ && generation_ <= generation) {
    peer_.reset();
    ++generation_;
  }
}

bool Abonnement::follow(const Uuid& older, const Peer& newer) {
  {
    std::lock_guard lock(mutex_);
    // One still being asked for waits for its answer, which comes where the question went.
    if (!peer_ || peer_->peer.uuid != older || peer_->state != AbonnementState::confirmed)
      return false;
    peer_->peer = newer;
  }
  PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
    return "subscription moved from peer " + older.uuidString() + " to " + newer.uuid.uuidString() +
           ", a newer connection to the same viewer";
  });
  return true;
}

std::optional<uint64_t> Abonnement::expired(double now) const {
  std::lock_guard lock(mutex_);
  if (!peer_) return std::nullopt;
  const bool confirmed = peer_->state == AbonnementState::confirmed;
  if ((!confirmed && now - since_ > kAbonnementAnswerTolerance) ||
      (confirmed && !PeerEngineSupport::connected(peer_->peer.webRTCClient)))
    return generation_;
  return std::nullopt;
}

void Abonnement::sendRequest() {
  const auto abonnement = peer();
  if (!abonnement) return;
  const auto client = abonnement->peer.webRTCClient;
  if (!PeerEngineSupport::connected(client)) return;
  const AbonnementRequestMessage message(std::string(AbonnementRequestMessage::typeString),
                                         Uuid::random(), 1);
  {
    // The state changes before the message leaves, so the answer always finds its request.
    // A subscription replaced meanwhile is not the one this request is for.
    std::lock_guard lock(mutex_);
    if (!peer_ || peer_->peer.uuid != abonnement->peer.uuid ||
        peer_->state != AbonnementState::potential)
      return;
    peer_->requetID = message.requestID();
    peer_->state = AbonnementState::requested;
  }
  PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
    return "subscription requested of peer " + abonnement->peer.uuid.uuidString();
  });
  client->sendAbonnementRequestMessage(message);
}

void Abonnement::answerRequest(const AbonnementRequestMessage& received, const Peer& peer) const {
  if (!peer.webRTCClient) return;
  // Two peers serving each other would have no source: refuse the peer this client already
  // downloads from.
  const auto abonnement = this->peer();
  const bool success = !(abonnement && abonnement->peer.uuid == peer.uuid &&
                         abonnement->state == AbonnementState::confirmed);
  if (!peer.webRTCClient->isConnected()) return;
  peer.webRTCClient->sendAbonnementResponseMessage(AbonnementResponseMessage(
      std::string(AbonnementResponseMessage::typeString), received.requestID(), success));
}

std::optional<uint64_t> Abonnement::takeAnswer(const Uuid& requestID, bool success,
                                               const Peer& from) {
  std::lock_guard lock(mutex_);
  // Only the peer that was asked answers for the subscription.
  if (!peer_ || peer_->requetID != requestID || peer_->peer.uuid != from.uuid) return std::nullopt;
  if (!success) return generation_;
  peer_->state = AbonnementState::confirmed;
  PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
    return "subscription confirmed by peer " + from.uuid.uuidString();
  });
  return std::nullopt;
}

void Abonnement::takeChain(const Uuid& from, const std::string& chain) {
  std::lock_guard lock(mutex_);
  if (peer_ && peer_->peer.uuid == from) peer_->currentChain = chain;
}

}  // namespace ombrelia
