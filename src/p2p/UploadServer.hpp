#pragma once
// Any thread: the data-channel callback threads file requests and stops, the engine's serial
// upload queue serves the waiting ones as segments are stored, and the stall check expires
// them. The waiting list and the counts of uploads in flight have a lock of their own, never
// held while a message or frame is sent.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

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
// behind the chain text that lets the downloader notice a loop.
class UploadServer {
 public:
  // Age after which a waiting upload is dropped: its requester gave up long before.
  static constexpr double kPendingUploadFileTolerance = 60.0;
  // Waiting uploads are kept for any connected peer: this bounds what a flood of requests for
  // segments never stored can hold. The oldest goes first.
  static constexpr size_t kMaxPendingUploads = 256;
  // Waiting uploads one peer may hold: a player asks for the segment playing and a few ahead,
  // so this is far above an honest peer's need and stops one peer from evicting the others'.
  static constexpr size_t kMaxPendingUploadsPerPeer = 32;
  // Segments being sent to one peer at the same time. Each request is served frame by frame on
  // the thread that serves it; past this, more requests from the same peer are refused
  // ("valid" false) rather than each making and sending a whole copy of its segment at once.
  static constexpr int kMaxUploadsInFlightPerPeer = 2;
  // Bytes per chunk frame payload, as the segment store cuts them.
  static constexpr int64_t kChunkBytes = 15900;

  // Both outlive the server.
  UploadServer(const PeerMessagesEnvironment& environment, const Abonnement& abonnement)
      : environment_(environment), abonnement_(abonnement) {}

  // Serves the request now if the segment is stored, or files it until it is.
  void take(const FileRequestMessage& request, const Peer& peer);
  // Drops the waiting upload the requester stopped.
  void stop(const FileRequestStopMessage& stop);
  // Serves the waiting uploads the stored segment (or any other now stored) answers.
  void serve(const std::shared_ptr<const SegmentData>& segment);
  // Drops the waiting uploads older than their tolerance.
  void expire(double now);

  size_t count() const;
  // True while an upload to that peer is being sent or waits for its segment.
  bool serves(const Uuid& requester) const;

 private:
  void respond(const SegmentData& segmentData, const FileRequestMessage& request, const Peer& peer);
  void sendSegmentFrames(WebRTCClient& client, const Data& bytes, const Uuid& requestID);

  const PeerMessagesEnvironment& environment_;
  const Abonnement& abonnement_;

  mutable std::mutex mutex_;  // guards the waiting uploads and the counts in flight
  std::deque<PendingUploadFileRequestMessage> waiting_;
  std::map<Uuid, int> inFlight_;  // by requester
};

}  // namespace ombrelia
