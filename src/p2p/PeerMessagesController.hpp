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
#include <map>
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
#include "protocol/PeerType.hpp"
#include "peers/PeerConnectionController.hpp"
#include "peers/WebRTCClientDelegate.hpp"

namespace ombrelia {

class AbonnementRequestMessage;
class AnalyticsFeed;
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
  // A subscription not confirmed this long after it was made is dropped. An "aboRequest" is
  // answered in one round trip over an open channel (well under a second on any real path);
  // while an unanswered one is kept no other peer's acceptance is taken, so a peer that never
  // answers would keep this client on the origin forever. Five seconds is close to one segment
  // of the usual six-second stream and far above any round trip.
  static constexpr double kAbonnementAnswerTolerance = 5.0;
  // Reassembly buffers held for one uploader: the segment playing and the next one at the
  // largest size a peer may announce. A buffer is counted from its first frame until its
  // request leaves the list; a request whose first frame would pass the bound is ended with
  // nothing and fetched from the origin.
  static constexpr int64_t kMaxReassemblyBytesPerPeer = 2 * kMaxSegmentBytes;
  // Reassembly buffers held in all: the per-peer bound plus one more segment, for requests of a
  // subscription that is just ending while the next one starts.
  static constexpr int64_t kMaxReassemblyBytesTotal = 3 * kMaxSegmentBytes;
  // Waiting uploads one peer may hold: a player asks for the segment playing and a few ahead,
  // so this is far above an honest peer's need and stops one peer from evicting the others'.
  static constexpr size_t kMaxPendingUploadsPerPeer = 32;
  // Segments being sent to one peer at the same time. Each request is served frame by frame on
  // the thread that serves it; past this, more requests from the same peer are refused
  // ("valid" false) rather than each making and sending a whole copy of its segment at once.
  static constexpr int kMaxUploadsInFlightPerPeer = 2;
  // Periods of the segment duration after which a pre-download still unfinished is ended: the
  // longest wait the stall rule allows a main request whatever the buffer.
  static constexpr double kPredownloadToleranceSegments = 3.0;
  // A main request joins a pre-download of the same segment only while it is younger than
  // this: the stall rule's limit, so a main request never waits on one that is already late.
  static constexpr double kMaxJoinAgeSeconds = 3.0;

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
  using RequestPtr = std::shared_ptr<PendingFileRequestMessage>;

  // True when a reader took the text.
  bool didReceivedMessage(const std::string& message, const Peer& from);
  void didReceivedData(const Data& data, const Peer& from);

  void sendFileAvailabilityMessage(const SegmentInfo& segmentInfo, const std::string& videoID);
  void sendFileAvailabilityResponseMessage(const FileAvailabilityRequestMessage& receviedMessage,
                                           const Peer& peer);
  void parseFileAvailabilityResponse(const FileAvailabilityResponseMessage& message,
                                     const Peer& peer);
  void chooseBestScored(uint64_t searchID);
  void sendAbonnementRequest();
  void sendAbonnementRequestResponseMessage(const AbonnementRequestMessage& receviedMessage,
                                            const Peer& peer);
  void handleAbonnementResponse(const Uuid& requestID, bool success, const Peer& from);

  void handleFileRequestResponseMessage(const FileRequestMessage& receviedMessage,
                                        const Peer& peer);
  void handleFileRequestStopMessage(const FileRequestStopMessage& receviedMessage);
  void sendFileRequestResponseMessage(const SegmentData& segmentData,
                                      const FileRequestMessage& receviedMessage, const Peer& peer);
  void sendSegmentFrames(WebRTCClient& client, const Data& bytes, const Uuid& requestID);
  void serveWaitingUploads(const std::shared_ptr<const SegmentData>& segment);

  void sendFileRequestEnd(const Uuid& requestID, const Peer& uploader);
  void parseFileRequestResponse(const FileRequestResponseMessage& message, const Peer& from);
  void parsePeerChainMessage(const PeerChainMessage& receivedMessage, const Peer& from);
  // True when the frame names a request whose answer was taken: it goes to reassembly whatever
  // its bytes look like.
  bool isReceiving(const Data& data) const;
  // Ends every listed request sent under this or an earlier subscription, each answered with
  // nothing and stopped at the peer it was asked of, and the subscription itself if it is that
  // one. A later subscription and its requests are not touched.
  void endAbonnement(uint64_t generation);
  // Ends the subscription (and its requests) when it matches.
  void endAbonnementIf(const std::function<bool(const AbonnementPeer&)>& predicate);
  // Ends one request: answered with nothing, stopped at its peer.
  void failRequests(std::vector<RequestPtr> requests);
  // Bytes held by reassembly buffers, for one uploader or in all. Under requestMutex_.
  int64_t reassemblyBytes(const std::optional<Uuid>& uploader) const;

  // Makes a potential subscription to the peer unless one exists; true when it did.
  bool subscribeIfNone(const Peer& peer);
  // The subscription's client and generation, read in one step.
  struct Subscribed {
    std::shared_ptr<WebRTCClient> client;
    Uuid peer;
    uint64_t generation = 0;
  };
  std::optional<Subscribed> subscribed() const;
  uint64_t abonnementGeneration() const;

  const std::shared_ptr<SignalingClient> signalClient_;
  const std::shared_ptr<AnalyticsFeed> analyticsService_;
  const PeerMessagesEnvironment environment_;

  mutable std::mutex abonnementMutex_;  // guards the subscription and the two fields after it
  std::optional<AbonnementPeer> abonnementPeer_;
  // Changes whenever a subscription is made or ends, so a late stop or choice can tell the
  // subscription it was meant for from a newer one.
  uint64_t abonnementGeneration_ = 0;
  double abonnementSince_ = 0;  // monotonic seconds at creation

  mutable std::mutex availabilityMutex_;  // guards the availability queries
  std::deque<PendingFileAvailabilityMessage> pendingFileAvailabilityMessages_;
  uint64_t nextSearchID_ = 0;

  mutable std::mutex requestMutex_;  // guards the requests sent and every record they point to
  std::vector<RequestPtr> pendingFileRequestMessages_;

  mutable std::mutex uploadMutex_;  // guards the waiting uploads
  std::deque<PendingUploadFileRequestMessage> pendingUploadFileRequestMessages_;
  std::map<Uuid, int> uploadsInFlight_;  // by requester

  // Set once, in start().
  std::shared_ptr<PeerConnectionController> peerConnectionController_;
  std::shared_ptr<platform::DispatchQueue> uploadQueue_;
  std::shared_ptr<platform::Timer> timer_;
  std::vector<platform::ObserverToken> observers_;
};

}  // namespace ombrelia
