#pragma once
// Any thread.

#include <memory>
#include <mutex>
#include <string>

#include <ombrelia/SegmentInfo.hpp>

#include "p2p/FileRequestType.hpp"
#include "p2p/PeerMessagesController.hpp"

namespace ombrelia {

class AnalyticsFeed;
class SignalingClient;

// The adapter between the download controller and the peer exchange.
class P2PLoader {
 public:
  [[nodiscard]] static std::shared_ptr<P2PLoader>
  create(std::string videoID, std::shared_ptr<SignalingClient> signalClient,
         std::shared_ptr<AnalyticsFeed> analyticsService);

  // Counts a peer request; with a confirmed subscription asks the subscribed peer, otherwise
  // goes on looking for one and completes at once with nothing.
  void requestSegment(const SegmentInfo& segmentInfo, FileRequestType type,
                      PeerMessagesController::FileCompletion completion);

  std::shared_ptr<PeerMessagesController> peerMessagesController() const;
  // Test seam: puts a stand-in for the peer exchange in place of the engine.
  void setPeerMessagesControllerForTesting(std::shared_ptr<PeerMessagesController> controller);

 private:
  P2PLoader(std::string videoID, std::shared_ptr<PeerMessagesController> controller,
            std::shared_ptr<AnalyticsFeed> analyticsService);

  const std::string videoID_;
  mutable std::mutex mutex_;  // guards the engine pointer, replaced only by tests
  std::shared_ptr<PeerMessagesController> peerMessagesController_;
  const std::shared_ptr<AnalyticsFeed> analyticsService_;
};

}  // namespace ombrelia
