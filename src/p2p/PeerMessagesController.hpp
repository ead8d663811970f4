#pragma once
// Any thread: requests may come from request threads and the main queue at once.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <ombrelia/Data.hpp>
#include <ombrelia/SegmentInfo.hpp>

#include "p2p/AbonnementPeer.hpp"
#include "p2p/FileRequestType.hpp"
#include "signalling/PeerType.hpp"

namespace ombrelia {

class AnalyticsService;
class SignalingClient;

// The peer-to-peer engine of one peer loader: keeps the subscription to one uploading peer and
// requests segments from it.
class PeerMessagesController {
 public:
  // The body, its content type ("video/p2p" for a segment assembled from a peer) and the
  // delivering peer's proximity class; all absent when the peer delivers nothing.
  using FileCompletion =
      std::function<void(std::optional<Data>, std::optional<std::string>, std::optional<PeerType>)>;

  [[nodiscard]] static std::shared_ptr<PeerMessagesController>
  create(std::shared_ptr<SignalingClient> signalClient,
         std::shared_ptr<AnalyticsService> analyticsService);

  virtual ~PeerMessagesController() = default;

  virtual std::optional<AbonnementPeer> abonnementPeer() const;

  // Without a subscription the completion runs at once, on the calling thread, with nothing.
  virtual void sendFileRequest(const SegmentInfo& segmentInfo, FileRequestType type,
                               const std::string& videoID, FileCompletion completion);
  // Asks every connected peer whether it holds the segment, to find a peer to subscribe to.
  virtual void continueAbonnementAsReceiverSearch(const SegmentInfo& segmentInfo,
                                                  const std::string& videoID);

 protected:
  // Test doubles of the peer exchange derive from the engine.
  PeerMessagesController(std::shared_ptr<SignalingClient> signalClient,
                         std::shared_ptr<AnalyticsService> analyticsService);

 private:
  const std::shared_ptr<SignalingClient> signalClient_;
  const std::shared_ptr<AnalyticsService> analyticsService_;
  mutable std::mutex mutex_;  // guards the subscription
  std::optional<AbonnementPeer> abonnementPeer_;
};

}  // namespace ombrelia
