#pragma once
// Any thread: the data-channel callback threads file requests and stops, the engine's serial
// upload queue serves the waiting ones as segments are stored and moves held-back transfers on,
// and the stall check expires them. The waiting list and the transfers have a lock of their
// own, never held while a message or frame is sent.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include <ombrelia/Data.hpp>

#include "p2p/PendingUploadFileRequestMessage.hpp"
#include "peers/Peer.hpp"
#include "platform/Uuid.hpp"

namespace ombrelia {

class Abonnement;
class FileRequestMessage;
class FileRequestStopMessage;
class SegmentData;
class WebRTCClient;
struct PeerMessagesEnvironment;

// The uploading side of the segment exchange: it serves a peer's segment request from the
// store at once, or files it until the segment is stored, and sends each segment frame by frame
// behind the chain text that lets the downloader notice a loop. Frames go out only as fast as
// the peer's connection takes them, so what a peer has queued stays within its share.
class UploadServer {
 public:
  // Age after which a waiting upload is dropped: its requester gave up long before.
  static constexpr double kPendingUploadFileTolerance = 60.0;
  // Waiting uploads are kept for any connected peer: this bounds what a flood of requests for
  // segments never stored can hold. Past it, the oldest of the peer holding the most goes.
  static constexpr size_t kMaxPendingUploads = 256;
  // Waiting uploads one peer may hold: a player asks for the segment playing and a few ahead,
  // so this is far above an honest peer's need and stops one peer from evicting the others'.
  static constexpr size_t kMaxPendingUploadsPerPeer = 32;
  // Segments being sent to one peer at the same time, each counted until its last frame has
  // left the connection's queue. A subscriber asks for one segment after another, so two keep
  // it fed; past this, a request is answered at once as not available ("valid" false) and the
  // requester takes the segment from the origin.
  static constexpr int kMaxUploadsInFlightPerPeer = 2;
  // Frame bytes the uploader lets wait in one peer's connection queue, on top of what SCTP's
  // own send buffer holds: sixteen frames keep a fast reader's link busy between two looks,
  // while a peer that reads slowly or not at all holds no more than this of this side's memory.
  static constexpr size_t kMaxQueuedUploadBytesPerPeer = 16 * 15924;
  // The pace one peer's frames may take, past a first burst of the queue's share: a segment of
  // a high rendition (several MB for 6 s) still goes in well under its duration, while a peer
  // that asks without end takes a small share of the machine, so the other peers' transfers
  // keep their pace beside it.
  static constexpr double kMaxUploadBytesPerSecondPerPeer = 16.0 * 1024 * 1024;
  // The pace of every peer's frames together, past a first burst of one peer's queue share: four
  // peers asking without end took 52.6 MiB/s of the machine before it; twice one peer's pace
  // still sends a 6 MB segment to each of several peers well within its duration. Each peer
  // being served paces itself by its even share of it, when that is below its own pace.
  static constexpr double kMaxUploadBytesPerSecond = 2 * kMaxUploadBytesPerSecondPerPeer;
  // How often a transfer held back by a full queue is looked at again; a queue of the size
  // above refilled this often still moves some 50 MB/s.
  static constexpr std::chrono::milliseconds kUploadPollInterval{5};
  // The least progress a transfer must make: one of whose frames the peer has acknowledged
  // nothing for this long is ended, so a peer that never reads cannot hold its uploads (and the
  // server's attention) for good.
  static constexpr double kMaxUploadStallSeconds = 10.0;
  // A peer advertising a receive window below one segment frame takes nothing but window
  // probes: what it acknowledges meanwhile is no progress for the rule above. An honest reader,
  // however slow its link, reads what arrives and keeps its window open.
  static constexpr uint32_t kMinOpenWindowBytes = 15924;
  // Bytes per chunk frame payload, as the segment store cuts them.
  static constexpr int64_t kChunkBytes = 15900;

  // Runs a block some time later on the engine's upload queue, as long as the engine lives.
  using Later = std::function<void(std::chrono::milliseconds, std::function<void()>)>;

  // Both outlive the server.
  UploadServer(const PeerMessagesEnvironment& environment, const Abonnement& abonnement)
      : environment_(environment), abonnement_(abonnement) {}

  // Set once, before the first request: without it a transfer held back by a full queue moves
  // on only when the peer's next request comes.
  void setLater(Later later);

  // Serves the request now if the segment is stored, or files it until it is. Every request is
  // answered: with the segment, or at once as not available when it repeats one being served or
  // passes the peer's bounds.
  void take(const FileRequestMessage& request, const Peer& peer);
  // Drops the waiting upload the requester stopped, and what of its transfer is not queued yet.
  void stop(const FileRequestStopMessage& stop, const Peer& peer);
  // Serves the waiting uploads the stored segment (or any other now stored) answers.
  void serve(const std::shared_ptr<const SegmentData>& segment);
  // Ends the transfers of segments the store has evicted since they started: a segment that
  // waits for room in the store counts their bytes as held until they let go, and storing it
  // comes before sending an old one to a peer.
  void endUploadsOfEvicted();
  // Drops the waiting uploads older than their tolerance.
  void expire(double now);

  size_t count() const;
  // Transfers to that peer whose frames have not all left its connection's queue.
  size_t inFlight(const Uuid& requester) const;
  // True while an upload to that peer is being sent or waits for its segment.
  bool serves(const Uuid& requester) const;

 private:
  // One segment on its way to a peer.
  struct Transfer {
    Uuid requestID;
    std::shared_ptr<const SegmentData> segment;  // until its last frame is cut
    size_t offset = 0;                           // of the next frame to hand over
    bool announced = false;                      // its answer has gone: frames may follow
    std::optional<uint64_t> end;                 // the peer's handed-over count at its last frame
  };
  // What is being sent to one peer.
  struct Outgoing {
    std::shared_ptr<WebRTCClient> client;
    std::deque<Transfer> transfers;
    uint64_t handed = 0;     // frame bytes the channel took
    uint64_t left = 0;       // of those, bytes the peer has acknowledged
    double movedAt = 0;      // when `left` last moved
    uint64_t movedFrom = 0;  // `left` at movedAt
    double allowance = static_cast<double>(kMaxQueuedUploadBytesPerPeer);  // bytes it may hand
    double allowedAt = 0;  // when the allowance was last topped up
    bool pumping = false;  // a thread is handing this peer's frames over
    bool again = false;    // another thread found work while it did
    bool pollDue = false;  // a later look is scheduled
  };

  void respond(const std::shared_ptr<const SegmentData>& segment, const FileRequestMessage& request,
               const Peer& peer);
  void refuse(WebRTCClient& client, const Uuid& requestID);
  // Hands the peer's frames over while its queue has room, ends the transfers that are done,
  // and schedules another look while any is left.
  void pump(const Uuid& peer);

  const PeerMessagesEnvironment& environment_;
  const Abonnement& abonnement_;
  Later later_;

  mutable std::mutex mutex_;  // guards the waiting uploads and the transfers
  std::deque<PendingUploadFileRequestMessage> waiting_;
  std::map<Uuid, Outgoing> outgoing_;  // by requester
  // What every peer's frames together may still take, and when it was last topped up.
  double allowance_ = static_cast<double>(kMaxQueuedUploadBytesPerPeer);
  double allowedAt_ = 0;
};

}  // namespace ombrelia
