#include "proxy/P2PLoader.hpp"

#include <string>

#include <ombrelia/OmbreliaLogger.hpp>

#include "protocol/AnalyticsFeed.hpp"

namespace ombrelia {

std::shared_ptr<P2PLoader> P2PLoader::create(std::string videoID,
                                             std::shared_ptr<SignalingClient> signalClient,
                                             std::shared_ptr<AnalyticsFeed> analyticsService) {
  auto controller = PeerMessagesController::create(std::move(signalClient), analyticsService);
  return std::shared_ptr<P2PLoader>(
      new P2PLoader(std::move(videoID), std::move(controller), std::move(analyticsService)));
}

P2PLoader::P2PLoader(std::string videoID, std::shared_ptr<PeerMessagesController> controller,
                     std::shared_ptr<AnalyticsFeed> analyticsService)
    : videoID_(std::move(videoID)),
      peerMessagesController_(std::move(controller)),
      analyticsService_(std::move(analyticsService)) {}

std::shared_ptr<PeerMessagesController> P2PLoader::peerMessagesController() const {
  std::lock_guard lock(mutex_);
  return peerMessagesController_;
}

void P2PLoader::setPeerMessagesControllerForTesting(
    std::shared_ptr<PeerMessagesController> controller) {
  std::lock_guard lock(mutex_);
  peerMessagesController_ = std::move(controller);
}

void P2PLoader::requestSegment(const SegmentInfo& segmentInfo, FileRequestType type,
                               PeerMessagesController::FileCompletion completion) {
  analyticsService_->newP2PRequest();
  const auto engine = peerMessagesController();
  const auto abonnement = engine->abonnementPeer();
  if (abonnement && abonnement->state == AbonnementState::confirmed) {
    engine->sendFileRequest(segmentInfo, type, videoID_, std::move(completion));
    return;
  }
  if (OmbreliaLogger::isEnabled(OLogLevel::debug, OLogModule::downloadController)) {
    const char* state = !abonnement                                       ? "none"
                        : abonnement->state == AbonnementState::potential ? "potential"
                                                                          : "requested";
    OmbreliaLogger::debug("segment " + std::to_string(segmentInfo.segmentNumber()) + " (" +
                              std::string(rawValue(segmentInfo.type())) + ", " +
                              (type == FileRequestType::main ? "main" : "predownload") +
                              ") not asked of a peer: no confirmed subscription (" + state + ")",
                          OLogModule::downloadController);
  }
  engine->continueAbonnementAsReceiverSearch(segmentInfo, videoID_);
  completion(std::nullopt, std::nullopt, std::nullopt);
}

}  // namespace ombrelia
