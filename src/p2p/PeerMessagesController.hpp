#pragma once
// Any thread. The data-channel callback threads deliver peer messages and frames, the loader's
// threads ask for segments, the main queue runs completions, the delayed subscription choice
// and the stall check, and a serial upload queue serves waiting uploads as segments are
// stored. The subscription and each of the three lists have a lock of their own; no lock is
// held while a message is sent, a completion runs or another lock is waited for, except that
// the subscription lock may be taken briefly under a list lock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/Data.hpp>
#include <ombrelia/SegmentInfo.hpp>

#include "p2p/AbonnementPeer.hpp"
#include "p2p/FileRequestType.hpp"
#include "p2p/PeerMessagesEnvironment.hpp"
#include "p2p/PendingFileAvailabilityMessage.hpp"
#include "p2p/PendingFileRequestMessage.hpp"
#include "p2p/PendingUploadFileRequestMessage.hpp"
#include "platform/NotificationCenter.hpp"
#include "signalling/PeerType.hpp"
#include "webrtc/PeerConnectionController.hpp"
#include "webrtc/WebRTCClientDelegate.hpp"

namespace ombrelia {

class AbonnementRequestMessage;
class AnalyticsService;
class FileAvailabilityRequestMessage;
class FileAvailabilityResponseMessage;
class FileRequestStopMessage;
class PeerChainMessage;
class SegmentData;
class SignalingClient;

namespace platform {
class DispatchQueue;
class Timer;
}  // namespace platform

// The peer-to-peer engine of one peer loader. As a downloader it looks for a peer holding the
// segments ("fileAvailability"), subscribes to one ("aboRequest"), asks it for segments and puts
// them back together from their frames; as an uploader it answers the same questions from the
// segment store and serves segment requests, at once or when the segment is stored. A 0.5 s
// check drops the subscription when it falls behind the player, and chain texts sent with every
// segment let a downloader notice that its subscriptions go round in a loop.
class PeerMessagesController : public WebRTCClientDelegate,
                               public std::enable_shared_from_this<PeerMessagesController> {
 public:
  // The body, its content type ("video/p2p" for a segment assembled from a peer) and the
  // delivering peer's proximity class; all absent when the peer delivers nothing.
  using FileCompletion =
      std::function<void(std::optional<Data>, std::optional<std::string>, std::optional<PeerType>)>;

  static constexpr const char* kContentType = "video/p2p";
  static constexpr const char* kLeaveGroup = "LeaveGroup";
  // Age after which an unanswered availability query is forgotten.
  static constexpr double kPendingAvailabilityTolerance = 10.0;
  // Age after which a waiting upload is dropped: its requester gave up long before.
  static constexpr double kPendingUploadFileTolerance = 60.0;
  static constexpr std::chrono::milliseconds kStallCheckInterval{500};
  // The largest segment a peer may announce: the origin body limit, so a hostile answer cannot
  // make this client allocate more than a segment fetched over HTTP could be.
  static constexpr int64_t kMaxSegmentBytes = int64_t{64} * 1024 * 1024;
  // Waiting uploads are kept for any connected peer: this bounds what a flood of requests for
  // segments never stored can hold. The oldest goes first.
  static constexpr size_t kMaxPendingUploads = 256;
  // Queries are made one per connected peer (at most 32) per player request; this holds ten
  // seconds of them and bounds the list when answers never come. The oldest goes first.
  static constexpr size_t kMaxPendingAvailability = 256;
  // A query goes to one peer; more scores than this come only from a peer repeating itself.
  static constexpr size_t kMaxScoresPerQuery = 8;
  // The subscription choice waits at most this long for more answers.
  static constexpr double kMaxChoiceDelaySeconds = 1.0;
  // Bytes per chunk frame payload, as the segment store cuts them.
  static constexpr int64_t kChunkBytes = 15900;

  [[nodiscard]] static std::shared_ptr<PeerMessagesController> create(
      std::shared_ptr<SignalingClient> signalClient,
      std::shared_ptr<AnalyticsService> analyticsService);
  [[nodiscard]] static std::shared_ptr<PeerMessagesController> create(
      std::shared_ptr<SignalingClient> signalClient,
      std::shared_ptr<AnalyticsService> analyticsService, PeerMessagesEnvironment environment);

  ~PeerMessagesController() override;

  virtual std::optional<AbonnementPeer> abonnementPeer() const;

  // Asks the subscribed peer for the segment. The completion runs exactly once: on the main
  // queue with the bytes, or with nothing (at once, on the calling thread, without a
  // subscription or a connected channel).
  virtual void sendFileRequest(const SegmentInfo& segmentInfo, FileRequestType type,
                               const std::string& videoID, FileCompletion completion);
  // Asks every connected peer whether it holds the segment, to find a peer to subscribe to.
  virtual void continueAbonnementAsReceiverSearch(const SegmentInfo& segmentInfo,
                                                  const std::string& videoID);

  // The stall check the timer runs.
  void checkRequestMessages();
  // Stops every request sent to the subscribed peer, answers each with nothing, and ends the
  // subscription.
  void stopAbonnement();
  // Serves the waiting uploads the stored segment (or any other now stored) answers; the work
  // runs on the upload queue.
  void newSegmentAvailable(std::shared_ptr<const SegmentData> segment);

  // Read-outs for tests and diagnostics.
  size_t pendingFileAvailabilityCount() const;
  size_t pendingFileRequestCount() const;
  size_t pendingUploadFileRequestCount() const;
  // Waits until the upload queue has run every block queued so far.
  void drainUploads();

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
  // Starts negotiating, observes the peer list and the store, and starts the stall check.
  void start();
  // Test doubles of the peer exchange derive from the engine.
  PeerMessagesController(std::shared_ptr<SignalingClient> signalClient,
                         std::shared_ptr<AnalyticsService> analyticsService);
  PeerMessagesController(std::shared_ptr<SignalingClient> signalClient,
                         std::shared_ptr<AnalyticsService> analyticsService,
                         PeerMessagesEnvironment environment);

 private:
  using RequestPtr = std::shared_ptr<PendingFileRequestMessage>;

  // True when a reader took the text.
  bool didReceivedMessage(const std::string& message, const Peer& from);
  void didReceivedData(const Data& data, const Peer& from);

  void sendFileAvailabilityMessage(const SegmentInfo& segmentInfo, const std::string& videoID);
  void sendFileAvailabilityResponseMessage(const FileAvailabilityRequestMessage& receviedMessage,
                                           const Peer& peer);
  void parseFileAvailabilityResponse(const FileAvailabilityResponseMessage& message,
                                     const Peer& peer);
  void chooseBestScored(const Uuid& requestID);
  void sendAbonnementRequest();
  void sendAbonnementRequestResponseMessage(const AbonnementRequestMessage& receviedMessage,
                                            const Peer& peer);
  void handleAbonnementResponse(const Uuid& requestID, bool success);

  void handleFileRequestResponseMessage(const FileRequestMessage& receviedMessage,
                                        const Peer& peer);
  void handleFileRequestStopMessage(const FileRequestStopMessage& receviedMessage);
  void sendFileRequestResponseMessage(const SegmentData& segmentData,
                                      const FileRequestMessage& receviedMessage, const Peer& peer);
  void serveWaitingUploads(const std::shared_ptr<const SegmentData>& segment);

  void sendFileRequestStop(const Uuid& requestID);
  void sendFileRequestEnd(const Uuid& requestID);
  void parseFileRequestResponse(const FileRequestResponseMessage& message);
  void parsePeerChainMessage(const PeerChainMessage& receivedMessage);

  void setAbonnementPeer(std::optional<AbonnementPeer> abonnement);
  // Makes a potential subscription to the peer unless one exists; true when it did.
  bool subscribeIfNone(const Peer& peer);
  void subscribe(const Peer& peer);
  void clearAbonnementIf(const std::function<bool(const AbonnementPeer&)>& predicate);
  std::shared_ptr<WebRTCClient> subscribedClient() const;

  const std::shared_ptr<SignalingClient> signalClient_;
  const std::shared_ptr<AnalyticsService> analyticsService_;
  const PeerMessagesEnvironment environment_;

  mutable std::mutex abonnementMutex_;  // guards the subscription
  std::optional<AbonnementPeer> abonnementPeer_;

  mutable std::mutex availabilityMutex_;  // guards the availability queries
  std::deque<PendingFileAvailabilityMessage> pendingFileAvailabilityMessages_;

  mutable std::mutex requestMutex_;  // guards the requests sent and every record they point to
  std::vector<RequestPtr> pendingFileRequestMessages_;

  mutable std::mutex uploadMutex_;  // guards the waiting uploads
  std::deque<PendingUploadFileRequestMessage> pendingUploadFileRequestMessages_;

  // Set once, in start().
  std::shared_ptr<PeerConnectionController> peerConnectionController_;
  std::shared_ptr<platform::DispatchQueue> uploadQueue_;
  std::shared_ptr<platform::Timer> timer_;
  std::vector<platform::ObserverToken> observers_;
};

}  // namespace ombrelia
