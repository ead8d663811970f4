#include "proxy/DecisionController.hpp"

#include <cstdio>
#include <string>

#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include "peers/OmbreliaDecision.hpp"
#include "store/BufferingController.hpp"

namespace ombrelia {
namespace {

// Debug only: why a segment goes to the origin, with the buffer the decision saw.
void explain(const Url& segmentURL, const std::optional<SegmentInfo>& segmentInfo,
             const char* why) {
  if (!OmbreliaLogger::isEnabled(OLogLevel::debug, OLogModule::downloadController)) return;
  const auto buffer = BufferingController::shared().getBufferLength();
  char seconds[32] = "unknown";
  if (buffer) std::snprintf(seconds, sizeof seconds, "%.1f s", *buffer);
  const std::string segment = segmentInfo ? std::to_string(segmentInfo->segmentNumber()) + " (" +
                                                std::string(rawValue(segmentInfo->type())) + ")"
                                          : segmentURL.toString();
  OmbreliaLogger::debug("segment " + segment + " to the origin: " + why + ", buffer " + seconds,
                        OLogModule::downloadController);
}

}  // namespace

DecisionController::DecisionController(std::string videoID, std::string clientID,
                                       std::shared_ptr<SignalingClient> signalClient)
    : ombreliaDecision_(OmbreliaDecision::create(std::move(videoID), std::move(clientID),
                                                 std::move(signalClient))) {}

Decision DecisionController::playlistDownloadMethod(const Url&) const { return Decision::http; }

void DecisionController::videoOrAudioSegmentMethod(
    const Url& segmentURL, const std::optional<SegmentInfo>& segmentInfo,
    const std::function<void(Decision)>& completion) const {
  // Each test is made only when the ones before it pass: a switched-off exchange or an
  // unhealthy buffer never reaches the signalling side.
  const auto& config = OmbreliaConfig::shared();
  if (!config.p2pActivated() || !config.activated()) {
    explain(segmentURL, segmentInfo, "the peer exchange is switched off");
    completion(Decision::http);
    return;
  }
  if (!BufferingController::shared().bufferingIsOk()) {
    explain(segmentURL, segmentInfo, "the buffer is not healthy");
    completion(Decision::http);
    return;
  }
  if (!segmentInfo) {
    explain(segmentURL, segmentInfo, "not in any stored playlist");
    completion(Decision::http);
    return;
  }
  ombreliaDecision_->refreshGroupRequestIfNeeded(segmentURL, *segmentInfo);
  if (!ombreliaDecision_->canTryP2P(*segmentInfo)) {
    explain(segmentURL, segmentInfo, "no peer listed");
    completion(Decision::http);
    return;
  }
  completion(Decision::p2p);
}

}  // namespace ombrelia
