#pragma once
// Any thread. The data-channel callback threads deliver peer messages and frames, the loader's
// threads ask for segments, the main queue runs completions, the delayed subscription choice
// and the stall check, and a serial upload queue serves waiting uploads as segments are
// stored. The engine holds no lock of its own: the subscription, the availability queries, the
// segment requests and the waiting uploads each sit in a part with its own lock (see each
// part's header).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/Data.hpp>
#include <ombrelia/SegmentInfo.hpp>

#include "p2p/Abonnement.hpp"
#include "p2p/AbonnementPeer.hpp"
#include "p2p/AbonnementSupervisor.hpp"
#include "p2p/AvailabilitySearch.hpp"
#include "p2p/ConnectionRetirement.hpp"
#include "p2p/FileRequestType.hpp"
#include "p2p/PeerMessagesEnvironment.hpp"
#include "p2p/SegmentDownloads.hpp"
#include "p2p/UploadServer.hpp"
#include "peers/PeerConnectionController.hpp"
#include "peers/WebRTCClientDelegate.hpp"
#include "platform/NotificationCenter.hpp"
#include "protocol/PeerType.hpp"

namespace ombrelia {

class AnalyticsFeed;
class FileAvailabilityResponseMessage;
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
// segment let a downloader notice that its subscriptions go round in a loop. Each of these roles
// is a part of its own; the engine receives the messages, hands each to its part and carries
// out what crosses parts (a subscription that ends takes its requests with it).
class PeerMessagesController : public WebRTCClientDelegate,
                               public std::enable_shared_from_this<PeerMessagesController> {
 public:
  // The body, its content type ("video/p2p" for a segment assembled from a peer) and the
  // delivering peer's proximity class; all absent when the peer delivers nothing.
  using FileCompletion =
      std::function<void(std::optional<Data>, std::optional<std::string>, std::optional<PeerType>)>;

  static constexpr const char* kContentType = SegmentDownloads::kContentType;
  static constexpr const char* kLeaveGroup = "LeaveGroup";
  static constexpr std::chrono::milliseconds kStallCheckInterval{500};
  // The limits, each explained where its part enforces it.
  static constexpr double kPendingAvailabilityTolerance =
      AvailabilitySearch::kPendingAvailabilityTolerance;
  static constexpr size_t kMaxPendingAvailability = AvailabilitySearch::kMaxPendingAvailability;
  static constexpr size_t kMaxScoresPerQuery = AvailabilitySearch::kMaxScoresPerQuery;
  static constexpr double kMaxChoiceDelaySeconds = AvailabilitySearch::kMaxChoiceDelaySeconds;
  static constexpr double kAbonnementAnswerTolerance = Abonnement::kAbonnementAnswerTolerance;
  static constexpr int64_t kMaxSegmentBytes = SegmentDownloads::kMaxSegmentBytes;
  static constexpr int64_t kMaxReassemblyBytesPerPeer =
      SegmentDownloads::kMaxReassemblyBytesPerPeer;
  static constexpr int64_t kMaxReassemblyBytesTotal = SegmentDownloads::kMaxReassemblyBytesTotal;
  static constexpr double kPredownloadToleranceSegments =
      SegmentDownloads::kPredownloadToleranceSegments;
  static constexpr double kMaxJoinAgeSeconds = SegmentDownloads::kMaxJoinAgeSeconds;
  static constexpr double kPendingUploadFileTolerance = UploadServer::kPendingUploadFileTolerance;
  static constexpr size_t kMaxPendingUploads = UploadServer::kMaxPendingUploads;
  static constexpr size_t kMaxPendingUploadsPerPeer = UploadServer::kMaxPendingUploadsPerPeer;
  static constexpr int kMaxUploadsInFlightPerPeer = UploadServer::kMaxUploadsInFlightPerPeer;
  static constexpr size_t kMaxQueuedUploadBytesPerPeer = UploadServer::kMaxQueuedUploadBytesPerPeer;
  static constexpr double kMaxUploadStallSeconds = UploadServer::kMaxUploadStallSeconds;
  static constexpr double kMaxUploadBytesPerSecondPerPeer =
      UploadServer::kMaxUploadBytesPerSecondPerPeer;
  static constexpr double kMaxUploadBytesPerSecond = UploadServer::kMaxUploadBytesPerSecond;
  static constexpr int64_t kChunkBytes = UploadServer::kChunkBytes;

  [[nodiscard]] static std::shared_ptr<PeerMessagesController> create(
      std::shared_ptr<SignalingClient> signalClient,
      std::shared_ptr<AnalyticsFeed> analyticsService);
  [[nodiscard]] static std::shared_ptr<PeerMessagesController> create(
      std::shared_ptr<SignalingClient> signalClient,
      std::shared_ptr<AnalyticsFeed> analyticsService, PeerMessagesEnvironment environment);

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
  // Closes the connections a newer one to the same viewer has replaced, once idle; the timer
  // runs it with the stall check.
  void retireSupersededConnections();
  // Ends the subscription, then stops every listed request at the peer it was sent to and
  // answers each with nothing.
  void stopAbonnement();
  // Serves the waiting uploads the stored segment (or any other now stored) answers; the work
  // runs on the upload queue.
  void newSegmentAvailable(std::shared_ptr<const SegmentData> segment);

  // Read-outs for tests and diagnostics.
  size_t pendingFileAvailabilityCount() const;
  size_t pendingFileRequestCount() const;
  size_t pendingUploadFileRequestCount() const;
  // Transfers to that peer whose frames have not all left its connection's queue.
  size_t uploadsInFlightTo(const Uuid& peer) const;
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
                         std::shared_ptr<AnalyticsFeed> analyticsService);
  PeerMessagesController(std::shared_ptr<SignalingClient> signalClient,
                         std::shared_ptr<AnalyticsFeed> analyticsService,
                         PeerMessagesEnvironment environment);

 private:
  // True when a reader took the text.
  bool didReceivedMessage(const std::string& message, const Peer& from);

  void parseFileAvailabilityResponse(const FileAvailabilityResponseMessage& message,
                                     const Peer& peer);
  void chooseBestScored(uint64_t searchID);
  // Ends the subscription if it is this generation or an earlier one, then every listed request
  // sent under this or an earlier subscription, each answered with nothing and stopped at the
  // peer it was asked of. A later subscription and its requests are not touched.
  void endAbonnement(uint64_t generation);
  // Ends the subscription (and its requests) when it matches; `reason` goes to the debug log.
  void endAbonnementIf(const std::function<bool(const AbonnementPeer&)>& predicate,
                       const char* reason);

  const std::shared_ptr<SignalingClient> signalClient_;
  const std::shared_ptr<AnalyticsFeed> analyticsService_;
  const PeerMessagesEnvironment environment_;

  // The parts, in the order they depend on one another; the subscription's lock is the
  // innermost.
  Abonnement abonnement_;
  AvailabilitySearch search_{environment_, abonnement_};
  SegmentDownloads downloads_{abonnement_, analyticsService_};
  UploadServer uploads_{environment_, abonnement_};
  AbonnementSupervisor supervisor_{environment_, abonnement_, downloads_, uploads_,
                                   [this](uint64_t generation) { endAbonnement(generation); }};
  ConnectionRetirement retirement_{environment_, abonnement_, downloads_, uploads_};

  // Set once, in start().
  std::shared_ptr<PeerConnectionController> peerConnectionController_;
  std::shared_ptr<platform::DispatchQueue> uploadQueue_;
  std::shared_ptr<platform::Timer> timer_;
  std::vector<platform::ObserverToken> observers_;
};

}  // namespace ombrelia
