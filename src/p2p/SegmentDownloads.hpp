#pragma once
// Any thread. The request list has a lock of its own, which also guards every record it points
// to; the subscription's lock may be taken briefly under it, and no lock is held while a
// message is sent or a completion runs.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <ombrelia/Data.hpp>
#include <ombrelia/SegmentInfo.hpp>

#include "p2p/FileRequestType.hpp"
#include "p2p/PendingFileRequestMessage.hpp"
#include "p2p/StallCheck.hpp"
#include "peers/Peer.hpp"

namespace ombrelia {

class Abonnement;
class AnalyticsFeed;
class FileRequestResponseMessage;

// The segment requests this client sends to the peer it is subscribed to, and the reassembly of
// their frames. Each request is answered exactly once: with the whole segment, or with nothing
// and a stop to the peer it was asked of.
class SegmentDownloads {
 public:
  using Completion = PendingFileRequestMessage::Completion;

  static constexpr const char* kContentType = "video/p2p";
  // The largest segment a peer may announce: the origin body limit, so a hostile answer cannot
  // make this client allocate more than a segment fetched over HTTP could be.
  static constexpr int64_t kMaxSegmentBytes = int64_t{64} * 1024 * 1024;
  // Reassembly buffers held for one uploader: the segment playing and the next one at the
  // largest size a peer may announce. A buffer is counted from its first frame until its
  // request leaves the list; a request whose first frame would pass the bound is ended with
  // nothing and fetched from the origin.
  static constexpr int64_t kMaxReassemblyBytesPerPeer = 2 * kMaxSegmentBytes;
  // Reassembly buffers held in all: the per-peer bound plus one more segment, for requests of a
  // subscription that is just ending while the next one starts.
  static constexpr int64_t kMaxReassemblyBytesTotal = 3 * kMaxSegmentBytes;
  // Periods of the segment duration after which a pre-download still unfinished is ended: the
  // longest wait the stall rule allows a main request whatever the buffer.
  static constexpr double kPredownloadToleranceSegments = 3.0;
  // A main request joins a pre-download of the same segment only while it is younger than
  // this: the stall rule's limit, so a main request never waits on one that is already late.
  static constexpr double kMaxJoinAgeSeconds = 3.0;

  // The subscription outlives the downloads; the analytics may be absent.
  SegmentDownloads(Abonnement& abonnement, std::shared_ptr<AnalyticsFeed> analytics)
      : abonnement_(abonnement), analytics_(std::move(analytics)) {}

  // Asks the subscribed peer for the segment; see the engine's call of the same name.
  void request(const SegmentInfo& segmentInfo, FileRequestType type, const std::string& videoID,
               Completion completion);
  // Ends every listed request sent under this or an earlier subscription: each is answered
  // with nothing and stopped at the peer it was asked of.
  void endUpTo(uint64_t generation);
  void takeResponse(const FileRequestResponseMessage& message, const Peer& from);
  // True when the frame names a request whose answer was taken: it goes to reassembly whatever
  // its bytes look like.
  bool isReceiving(const Data& data) const;
  void takeFrame(const Data& data, const Peer& from);
  // True when the request is listed and was asked of that peer.
  bool isAskedOf(const Uuid& requestID, const Uuid& uploader) const;
  // True when any listed request was asked of that peer.
  bool isAnyAskedOf(const Uuid& uploader) const;
  // Ends the pre-downloads that have waited too long and returns the timings of the unfinished
  // main requests, in list order, for the stall rule.
  std::vector<StallCheck::Request> supervise(double now, double segmentDuration);

  size_t count() const;

 private:
  using RequestPtr = std::shared_ptr<PendingFileRequestMessage>;

  // Ends each request: answered with nothing, stopped at its peer. `reason` goes to the debug
  // log.
  void fail(std::vector<RequestPtr> requests, const char* reason);
  // Bytes held by reassembly buffers, for one uploader or in all. Under mutex_.
  int64_t reassemblyBytes(const std::optional<Uuid>& uploader) const;

  Abonnement& abonnement_;
  const std::shared_ptr<AnalyticsFeed> analytics_;

  mutable std::mutex mutex_;  // guards the requests sent and every record they point to
  std::vector<RequestPtr> requests_;
};

}  // namespace ombrelia
