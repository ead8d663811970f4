#pragma once
// Decision side: the HTTP server's request threads, several at once. Signalling side: the
// signalling client's delivery queue, one event at a time. One lock guards the shared fields.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <ombrelia/SegmentInfo.hpp>
#include <ombrelia/Url.hpp>

#include "platform/MonotonicClock.hpp"
#include "platform/Uuid.hpp"
#include "signalling/SignalClientDelegate.hpp"

namespace ombrelia {

class PeerOwner;
class PeerSelectionService;
class SignalingClient;

// Listens to the signalling connection (announces the client at every opening, reconnects after
// every close, dispatches every received message to the transport, the peer list and the peer
// selection) and tells the segment decision whether a peer attempt is possible, refreshing the
// group through the signalling service when it is due.
class OmbreliaDecision : public SignalClientDelegate,
                         public std::enable_shared_from_this<OmbreliaDecision> {
 public:
  // At most one group request in this interval, in seconds.
  static constexpr double kMinimalTimeToRefreshGroup = 25.0;
  // No group request once the group holds this many peers.
  static constexpr size_t kMaxNumberOfConnectedPeersToRefreshGroup = 5;

  // Becomes the client's delegate and connects it at once.
  [[nodiscard]] static std::shared_ptr<OmbreliaDecision> create(
      std::string videoID, std::string clientID, std::shared_ptr<SignalingClient> signalClient);
  // The same with another peer selection (tests).
  [[nodiscard]] static std::shared_ptr<OmbreliaDecision> create(
      std::string videoID, std::string clientID, std::shared_ptr<SignalingClient> signalClient,
      std::shared_ptr<PeerSelectionService> peerSelectionService);

  void refreshGroupRequestIfNeeded(const Url& segmentURL, const SegmentInfo& segmentInfo);
  bool canTryP2P(const SegmentInfo& segmentInfo) const;

  const std::shared_ptr<SignalingClient>& signalClient() const { return signalClient_; }
  std::optional<Uuid> uuid() const;
  bool signalingConnected() const;
  // Its manager is cleaned up: the peers negotiated under this signalling connection leave the
  // shared list, and none is listed for it any more, while the next video's manager keeps its
  // own. Runs removals as a tracker's "delete" would, on the calling thread.
  void retirePeers();

  void signalClientDidConnect(SignalingClient& client) override;
  void signalClientDidDisconnect(SignalingClient& client) override;
  void signalClient(SignalingClient& client, const Data& didReceiveData) override;
  void signalClient(SignalingClient& client, const std::string& didReceiveMessage) override;

 private:
  OmbreliaDecision(std::string videoID, std::string clientID,
                   std::shared_ptr<SignalingClient> signalClient,
                   std::shared_ptr<PeerSelectionService> peerSelectionService);
  void initMessage();

  const std::string videoID_;
  const std::string clientID_;
  const std::shared_ptr<SignalingClient> signalClient_;
  const std::shared_ptr<PeerSelectionService> peerSelectionService_;
  // What the peers negotiated under this signalling connection are filed under in the list.
  const std::shared_ptr<PeerOwner> peerOwner_;

  mutable std::mutex mutex_;  // guards the three fields below
  std::optional<Uuid> uuid_;
  bool signalingConnected_ = false;
  std::optional<platform::MonotonicClock::time_point> lastGroupRequestTimestamp_;
};

}  // namespace ombrelia
