#include "peers/PeerConnectionController.hpp"

#include <ombrelia/OmbreliaLogger.hpp>

#include "peers/Peer.hpp"
#include "peers/PeerList.hpp"
#include "peers/SessionDescription.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/DispatchQueue.hpp"
#include "signalling/SignalingClient.hpp"

namespace ombrelia {
namespace {

void controllerDebug(const std::string& message) {
  OmbreliaLogger::debug(message, OLogModule::peerConnectionController);
}

std::string identifierOf(const std::optional<Peer>& peer) {
  return peer ? peer->uuid.uuidString() : std::string("UNKNOWN");
}

const Peer* peerIn(const platform::Notification& notification) {
  return std::any_cast<Peer>(&notification.object);
}

}  // namespace

std::shared_ptr<PeerConnectionController> PeerConnectionController::create(
    std::shared_ptr<SignalingClient> signalClient) {
  auto controller = std::shared_ptr<PeerConnectionController>(
      new PeerConnectionController(std::move(signalClient)));
  controller->registerObservers();
  return controller;
}

PeerConnectionController::PeerConnectionController(std::shared_ptr<SignalingClient> signalClient)
    : signalClient_(std::move(signalClient)) {}

void PeerConnectionController::registerObservers() {
  auto& center = platform::NotificationCenter::defaultCenter();
  std::weak_ptr<PeerConnectionController> weak = weak_from_this();
  auto on = [&](const char* name, void (PeerConnectionController::*action)(const Peer&)) {
    observers_.push_back(center.addObserver(name, [weak, action](const platform::Notification& n) {
      auto self = weak.lock();
      const Peer* peer = peerIn(n);
      if (self && peer) ((*self).*action)(*peer);
    }));
  };
  on(PeerList::kNewGroupPeerSendOffer, &PeerConnectionController::sendOffer);
  on(PeerList::kGroupPeerSendAnswer, &PeerConnectionController::sendAnswer);
  on(PeerList::kGroupPeerSendCandidate, &PeerConnectionController::sendCadidate);
}

void PeerConnectionController::sendOffer(const Peer& peer) {
  if (!peer.webRTCClient) return;
  const Uuid uuid = peer.uuid;
  std::weak_ptr<SignalingClient> weakClient = signalClient_;
  peer.webRTCClient->offer([weakClient, uuid](const SessionDescription& description) {
    if (auto client = weakClient.lock()) {
      client->sendConnectionRequestDescription(uuid, description.sdp, description.type);
    }
  });
  watchChannelOpening(peer);
}

void PeerConnectionController::sendAnswer(const Peer& peer) {
  if (!peer.webRTCClient) return;
  const Uuid uuid = peer.uuid;
  std::weak_ptr<SignalingClient> weakClient = signalClient_;
  peer.webRTCClient->answer([weakClient, uuid](const SessionDescription& description) {
    if (auto client = weakClient.lock()) {
      client->sendConnectionRequestDescription(uuid, description.sdp, SdpType::answer);
    }
  });
  watchChannelOpening(peer);
}

void PeerConnectionController::sendCadidate(const Peer& peer) {
  if (!peer.webRTCClient) return;
  // Taking the list and marking the burst is one step against gathering: a candidate found
  // from now on reaches discoveredLocalCandidate marked to be sent on its own.
  const auto candidates = peer.webRTCClient->markBurstSent();
  controllerDebug("sending all candidates!");
  for (const auto& candidate : candidates) {
    signalClient_->sendConnectionRequestCandidate(peer.uuid, candidate.candidate, candidate.mid, 0);
  }
}

void PeerConnectionController::discoveredLocalCandidate(WebRTCClient& client,
                                                        const LocalCandidate& candidate) {
  const auto peer = PeerList::shared().peer(client);
  controllerDebug("discovered local candidate for " + identifierOf(peer) + ": " +
                  candidate.candidate);
  // A side that had gathered nothing yet when its burst went out would otherwise never send.
  if (peer && candidate.afterBurst) {
    signalClient_->sendConnectionRequestCandidate(peer->uuid, candidate.candidate, candidate.mid,
                                                  0);
  }
}

void PeerConnectionController::receivedConnectionStateChange(WebRTCClient& client,
                                                             datachannel::DCIceState state) {
  const auto peer = PeerList::shared().peer(client);
  controllerDebug("did change connection state for " + identifierOf(peer) + ": " +
                  datachannel::description(state));
  const int raw = datachannel::rawValue(state);
  if (peer && raw >= 3 && raw <= 5) {
    // By the client, not the identifier: the same peer's new offer may have replaced this one
    // since the look-up, and its fresh connection must not be the one closed.
    PeerList::shared().removePeer(client);
    controllerDebug("peer removed after disconnected/failed. UUID: " + peer->uuid.uuidString());
  }
}

void PeerConnectionController::watchChannelOpening(const Peer& peer) {
  std::weak_ptr<PeerConnectionController> weak = weak_from_this();
  std::weak_ptr<WebRTCClient> weakClient = peer.webRTCClient;
  platform::DispatchQueue::global()->asyncAfter(kChannelOpenTimeout, [weak, weakClient] {
    auto self = weak.lock();
    auto client = weakClient.lock();
    if (!self || !client || client->isConnected() || client->isClosed()) return;
    self->removePeerOf(*client, "channel not open in time");
  });
}

void PeerConnectionController::removePeerOf(WebRTCClient& client, const char* why) {
  const auto peer = PeerList::shared().peer(client);
  if (!peer) return;
  controllerDebug(std::string(why) + ", treated as failed: " + peer->uuid.uuidString());
  PeerList::shared().removePeer(client);
}

}  // namespace ombrelia
