#include "p2p/PeerMessagesController.hpp"

namespace ombrelia {

std::shared_ptr<PeerMessagesController>
PeerMessagesController::create(std::shared_ptr<SignalingClient> signalClient,
                               std::shared_ptr<AnalyticsService> analyticsService) {
  return std::shared_ptr<PeerMessagesController>(
      new PeerMessagesController(std::move(signalClient), std::move(analyticsService)));
}

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
