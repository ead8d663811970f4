#include "p2p/PeerMessagesController.hpp"

#include "signalling/Peer.hpp"
#include "signalling/PeerList.hpp"
#include "webrtc/WebRTCClient.hpp"

namespace ombrelia {

std::shared_ptr<PeerMessagesController> PeerMessagesController::create(
    std::shared_ptr<SignalingClient> signalClient,
    std::shared_ptr<AnalyticsService> analyticsService) {
  auto engine = std::shared_ptr<PeerMessagesController>(
      new PeerMessagesController(std::move(signalClient), std::move(analyticsService)));
  engine->start();
  return engine;
}

void PeerMessagesController::start() {
  peerConnectionController_ = PeerConnectionController::create(signalClient_);
  std::weak_ptr<PeerMessagesController> weak = weak_from_this();
  newPeerObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
      PeerList::kNewGroupPeer, [weak](const platform::Notification& notification) {
        auto self = weak.lock();
        const Peer* peer = std::any_cast<Peer>(&notification.object);
        if (self && peer && peer->webRTCClient) peer->webRTCClient->setDelegate(self);
      });
}

void PeerMessagesController::webRTCClient(WebRTCClient& client, const LocalCandidate& candidate) {
  if (peerConnectionController_)
    peerConnectionController_->discoveredLocalCandidate(client, candidate);
}

void PeerMessagesController::webRTCClient(WebRTCClient& client, datachannel::DCIceState state) {
  if (peerConnectionController_)
    peerConnectionController_->receivedConnectionStateChange(client, state);
}

// Peer messages and segment frames are read by the exchange engine; until a subscription
// exists nothing is pending, so there is nothing to do with them yet.
void PeerMessagesController::webRTCClient(WebRTCClient&, const std::string&) {}
void PeerMessagesController::webRTCClient(WebRTCClient&, const Data&) {}
void PeerMessagesController::webRTCClient(WebRTCClient&, int64_t) {}

PeerMessagesController::PeerMessagesController(std::shared_ptr<SignalingClient> signalClient,
                                               std::shared_ptr<AnalyticsService> analyticsService)
    : signalClient_(std::move(signalClient)), analyticsService_(std::move(analyticsService)) {}

std::optional<AbonnementPeer> PeerMessagesController::abonnementPeer() const {
  std::lock_guard lock(mutex_);
  return abonnementPeer_;
}

void PeerMessagesController::sendFileRequest(const SegmentInfo&, FileRequestType,
                                             const std::string&, FileCompletion completion) {
  if (!abonnementPeer()) {
    completion(std::nullopt, std::nullopt, std::nullopt);
    return;
  }
  // A subscription only exists once the peer exchange runs; until then nothing is pending.
  completion(std::nullopt, std::nullopt, std::nullopt);
}

void PeerMessagesController::continueAbonnementAsReceiverSearch(const SegmentInfo&,
                                                                const std::string&) {}

}  // namespace ombrelia
