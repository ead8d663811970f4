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
#include "platform/NotificationCenter.hpp"
#include "signalling/PeerType.hpp"
#include "webrtc/PeerConnectionController.hpp"
#include "webrtc/WebRTCClientDelegate.hpp"

namespace ombrelia {

class AnalyticsService;
class SignalingClient;

// The peer-to-peer engine of one peer loader: keeps the subscription to one uploading peer and
// requests segments from it. It takes the events of every peer's WebRTC client, and its
// negotiation controller sends offers, answers and candidates through the signalling client.
class PeerMessagesController : public WebRTCClientDelegate,
                               public std::enable_shared_from_this<PeerMessagesController> {
 public:
  // The body, its content type ("video/p2p" for a segment assembled from a peer) and the
  // delivering peer's proximity class; all absent when the peer delivers nothing.
  using FileCompletion =
      std::function<void(std::optional<Data>, std::optional<std::string>, std::optional<PeerType>)>;

  [[nodiscard]] static std::shared_ptr<PeerMessagesController> create(
      std::shared_ptr<SignalingClient> signalClient,
      std::shared_ptr<AnalyticsService> analyticsService);

  virtual ~PeerMessagesController() = default;

  virtual std::optional<AbonnementPeer> abonnementPeer() const;

  // Without a subscription the completion runs at once, on the calling thread, with nothing.
  virtual void sendFileRequest(const SegmentInfo& segmentInfo, FileRequestType type,
                               const std::string& videoID, FileCompletion completion);
  // Asks every connected peer whether it holds the segment, to find a peer to subscribe to.
  virtual void continueAbonnementAsReceiverSearch(const SegmentInfo& segmentInfo,
                                                  const std::string& videoID);

  const std::shared_ptr<PeerConnectionController>& peerConnectionController() const {
    return peerConnectionController_;
  }

  // The events of the clients it is the delegate of.
  void webRTCClient(WebRTCClient& client, const LocalCandidate& didDiscoverLocalCandidate) override;
  void webRTCClient(WebRTCClient& client,
                    datachannel::DCIceState didChangeConnectionState) override;
  void webRTCClient(WebRTCClient& client, const std::string& didReceiveString) override;
  void webRTCClient(WebRTCClient& client, const Data& didReceiveData) override;
  void webRTCClient(WebRTCClient& client, int64_t didSentData) override;

 protected:
  // Starts negotiating and takes each new peer's client events.
  void start();
  // Test doubles of the peer exchange derive from the engine.
  PeerMessagesController(std::shared_ptr<SignalingClient> signalClient,
                         std::shared_ptr<AnalyticsService> analyticsService);

 private:
  const std::shared_ptr<SignalingClient> signalClient_;
  const std::shared_ptr<AnalyticsService> analyticsService_;
  mutable std::mutex mutex_;  // guards the subscription
  std::optional<AbonnementPeer> abonnementPeer_;
  std::shared_ptr<PeerConnectionController> peerConnectionController_;  // set once, in start()
  platform::ObserverToken newPeerObserver_;                             // set once, in start()
};

}  // namespace ombrelia
