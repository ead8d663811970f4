#include "proxy/DecisionController.hpp"

#include <ombrelia/OmbreliaConfig.hpp>

#include "peers/OmbreliaDecision.hpp"
#include "store/BufferingController.hpp"

namespace ombrelia {

DecisionController::DecisionController(std::string videoID, std::string clientID,
                                       std::shared_ptr<SignalingClient> signalClient)
    : ombreliaDecision_(OmbreliaDecision::create(std::move(videoID), std::move(clientID),
                                                 std::move(signalClient))) {}

Decision DecisionController::playlistDownloadMethod(const Url&) const {
  return Decision::http;
}

void DecisionController::videoOrAudioSegmentMethod(
    const Url& segmentURL, const std::optional<SegmentInfo>& segmentInfo,
    const std::function<void(Decision)>& completion) const {
  // Each test is made only when the ones before it pass: a switched-off exchange or an
  // unhealthy buffer never reaches the signalling side.
  const auto& config = OmbreliaConfig::shared();
  if (!config.p2pActivated() || !config.activated() ||
      !BufferingController::shared().bufferingIsOk() || !segmentInfo) {
    completion(Decision::http);
    return;
  }
  ombreliaDecision_->refreshGroupRequestIfNeeded(segmentURL, *segmentInfo);
  completion(ombreliaDecision_->canTryP2P(*segmentInfo) ? Decision::p2p : Decision::http);
}

}  // namespace ombrelia
