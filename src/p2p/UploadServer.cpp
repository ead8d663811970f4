#include "p2p/UploadServer.hpp"

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "p2p/Abonnement.hpp"
#include "p2p/PeerChain.hpp"
#include "p2p/PeerEngineSupport.hpp"
#include "p2p/PeerMessagesEnvironment.hpp"
#include "peers/WebRTCClient.hpp"
#include "peers/WebRTCClientDelegate.hpp"
#include "protocol/FileRequestMessage.hpp"
#include "protocol/FileRequestResponseMessage.hpp"
#include "protocol/FileRequestStopMessage.hpp"
#include "protocol/PeerChainMessage.hpp"
#include "protocol/SegmentFrame.hpp"
#include "store/SegmentData.hpp"
#include "store/VideoStorage.hpp"

namespace ombrelia {
namespace {

// A peer asks, stops and stalls as often as it likes: each of these lines is told once per peer,
// and then a count of its repeats at most once a minute, so an honest peer's uploads still show.
void uploadLine(std::string_view cause, const Uuid& peer,
                const std::function<std::string()>& message) {
  PeerEngineSupport::perPeer(OLogLevel::info, OLogModule::p2pUpload, cause, peer, message);
}

}  // namespace

// An honest reader's queue, frames and a frame handed over as the share fills, leaves room for
// the answers to its asks.
static_assert(UploadServer::kMaxQueuedUploadBytesPerPeer + 2 * 15924 <
              WebRTCClient::kMaxQueuedBytesForMessages);

// A window that holds a whole frame lets the next one go.
static_assert(UploadServer::kMinOpenWindowBytes ==
              SegmentFrame::kHeaderBytes + UploadServer::kChunkBytes);

void UploadServer::setLater(Later later) {
  std::lock_guard lock(mutex_);
  later_ = std::move(later);
}

void UploadServer::refuse(WebRTCClient& client, const Uuid& requestID) {
  client.sendFileRequestResponseMessage(FileRequestResponseMessage(
      std::string(FileRequestResponseMessage::typeString), requestID, false, std::nullopt,
      std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt));
}

void UploadServer::take(const FileRequestMessage& request, const Peer& peer) {
  const auto client = peer.webRTCClient;
  if (!PeerEngineSupport::connected(client)) return;
  const auto sameAsk = [&](const Uuid& requester, const Uuid& requestID) {
    return requester == peer.uuid && requestID == request.requestID();
  };
  bool repeated = false;
  {
    std::lock_guard lock(mutex_);
    repeated = std::any_of(waiting_.begin(), waiting_.end(), [&](const auto& e) {
      return sameAsk(e.peer.uuid, e.message.requestID());
    });
    if (const auto out = outgoing_.find(peer.uuid); out != outgoing_.end())
      repeated = repeated ||
                 std::any_of(out->second.transfers.begin(), out->second.transfers.end(),
                             [&](const Transfer& t) { return t.requestID == request.requestID(); });
  }
  if (repeated) {
    // The first ask is answered in full; a repeat would only have the same bytes sent again.
    refuse(*client, request.requestID());
    return;
  }
  auto& storage = *environment_.storage;
  const auto lookUp = [&] {
    return storage.getSegment(request.mediaType(), request.quality(), request.segmentNumber(),
                              request.videoID());
  };
  if (const auto segment = lookUp()) {
    respond(segment, request, peer);
    uploadLine("upload of a stored segment", peer.uuid, [&] {
      return "segment is available: " + PeerEngineSupport::segmentText(segment->segmentInfo());
    });
    return;
  }
  std::optional<PendingUploadFileRequestMessage> evicted;
  {
    std::lock_guard lock(mutex_);
    std::map<Uuid, size_t> held;
    for (const auto& e : waiting_) ++held[e.peer.uuid];
    // One peer's flood evicts its own oldest requests; when the list is full, the oldest of the
    // peer holding the most goes, never that of a peer holding less.
    std::optional<Uuid> from;
    if (held[peer.uuid] >= kMaxPendingUploadsPerPeer) {
      from = peer.uuid;
    } else if (waiting_.size() >= kMaxPendingUploads) {
      from = std::max_element(held.begin(), held.end(), [](const auto& a, const auto& b) {
               return a.second < b.second;
             })->first;
    }
    if (from) {
      const auto oldest = std::find_if(waiting_.begin(), waiting_.end(),
                                       [&](const auto& e) { return e.peer.uuid == *from; });
      evicted = std::move(*oldest);
      waiting_.erase(oldest);
    }
    waiting_.push_back({PeerEngineSupport::now(), request, peer});
  }
  // An evicted request is answered too: its requester need not wait for its own supervision.
  if (evicted && PeerEngineSupport::connected(evicted->peer.webRTCClient))
    refuse(*evicted->peer.webRTCClient, evicted->message.requestID());
  uploadLine("upload request filed", peer.uuid, [&] {
    return "segment request added to pending list: " + std::to_string(request.segmentNumber()) +
           ", type: " + request.mediaType() + ", quality: " + std::to_string(request.quality());
  });
  // The segment may have been stored between the first look and the filing, its arrival then
  // finding nothing to serve: look once more now that the request is listed.
  if (const auto segment = lookUp()) {
    bool taken = false;
    {
      std::lock_guard lock(mutex_);
      const auto before = waiting_.size();
      std::erase_if(waiting_, [&](const auto& e) {
        return e.message.requestID() == request.requestID() && e.peer.uuid == peer.uuid;
      });
      taken = waiting_.size() != before;
    }
    // Served here only if the store's own serving did not take it first.
    if (taken) respond(segment, request, peer);
  }
}

void UploadServer::stop(const FileRequestStopMessage& stop, const Peer& peer) {
  uploadLine("upload stop", peer.uuid, [&] {
    return "received stop message for requestID: " + stop.requestID().uuidString();
  });
  std::lock_guard lock(mutex_);
  std::erase_if(waiting_, [&](const auto& e) {
    return e.message.requestID() == stop.requestID() && e.peer.uuid == peer.uuid;
  });
  // Frames already in the connection's queue go; the rest of the transfer is never handed over.
  // Its place is taken back once those have left, as for a transfer that ends.
  if (const auto out = outgoing_.find(peer.uuid); out != outgoing_.end()) {
    for (auto& t : out->second.transfers) {
      if (t.requestID != stop.requestID() || t.end) continue;
      t.offset = t.segment->data().size();
      t.end = out->second.handed;
      t.segment.reset();
    }
  }
}

void UploadServer::endUploadsOfEvicted() {
  // Looked up outside the lock: the store's own lock is never taken under this one.
  std::vector<std::pair<Uuid, std::shared_ptr<const SegmentData>>> sending;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [peer, out] : outgoing_)
      for (const auto& t : out.transfers)
        if (!t.end) sending.emplace_back(peer, t.segment);
  }
  std::set<const SegmentData*> evicted;
  for (const auto& [peer, segment] : sending) {
    if (environment_.storage->getSegment(segment->segmentInfo(), segment->videoID()) != segment)
      evicted.insert(segment.get());
  }
  if (evicted.empty()) return;
  std::lock_guard lock(mutex_);
  for (auto& [peer, out] : outgoing_) {
    size_t ended = 0;
    for (auto& t : out.transfers) {
      if (t.end || evicted.count(t.segment.get()) == 0) continue;
      // Ended as a stop ends it: frames already queued go, the requester's supervision fetches
      // the rest from the origin.
      t.offset = t.segment->data().size();
      t.end = out.handed;
      t.segment.reset();
      ++ended;
    }
    if (ended > 0) {
      uploadLine("upload of an evicted segment ended", peer, [&] {
        return "the store needs the room of segments no longer stored, transfers ended: " +
               std::to_string(ended);
      });
    }
  }
}

void UploadServer::expire(double now) {
  std::lock_guard lock(mutex_);
  std::erase_if(waiting_,
                [&](const auto& e) { return now - e.timestamp > kPendingUploadFileTolerance; });
}

void UploadServer::respond(const std::shared_ptr<const SegmentData>& segment,
                           const FileRequestMessage& request, const Peer& peer) {
  const auto client = peer.webRTCClient;
  if (!PeerEngineSupport::connected(client)) return;
  const auto size = static_cast<int64_t>(segment->data().size());
  bool busy = false;
  {
    std::lock_guard lock(mutex_);
    auto& out = outgoing_[peer.uuid];
    if (out.client != client) {
      // A new connection to the same peer: the old one's transfers can never finish. A thread
      // handing frames over keeps its turn and looks again.
      const bool pumping = out.pumping;
      out = Outgoing{};
      out.client = client;
      out.pumping = pumping;
      out.again = pumping;
    }
    busy = out.transfers.size() >= static_cast<size_t>(kMaxUploadsInFlightPerPeer) ||
           std::any_of(out.transfers.begin(), out.transfers.end(),
                       [&](const Transfer& t) { return t.requestID == request.requestID(); });
    if (!busy) {
      if (out.transfers.empty()) {
        out.movedAt = PeerEngineSupport::now();
        out.movedFrom = out.left;
      }
      Transfer transfer;
      transfer.requestID = request.requestID();
      transfer.segment = segment;
      out.transfers.push_back(std::move(transfer));
    } else if (out.transfers.empty()) {
      outgoing_.erase(peer.uuid);
    }
  }
  if (busy) {
    // Refused rather than queued: the requester takes the segment from the origin at once.
    refuse(*client, request.requestID());
    return;
  }
  if (const auto personal = environment_.personalUUID()) {
    const auto abonnement = abonnement_.peer();
    const std::string me = PeerChain::peerName(*personal);
    const std::string chain = PeerChain::build(abonnement ? abonnement->currentChain : std::nullopt,
                                               me, PeerChain::peerName(peer.uuid));
    client->sendPeerChainMessage(
        PeerChainMessage(std::string(PeerChainMessage::typeString), request.requestID(), chain));
    PeerEngineSupport::debug(OLogModule::loopDetection,
                             [&] { return "personal uuid prefix: " + me; });
    PeerEngineSupport::debug(OLogModule::loopDetection,
                             [&] { return "sending chain list: " + chain; });
  }
  client->sendFileRequestResponseMessage(FileRequestResponseMessage(
      std::string(FileRequestResponseMessage::typeString), request.requestID(), true, 0, size,
      (size + kChunkBytes - 1) / kChunkBytes, size, std::nullopt, std::nullopt, std::nullopt));
  {
    std::lock_guard lock(mutex_);
    if (const auto out = outgoing_.find(peer.uuid); out != outgoing_.end())
      for (auto& t : out->second.transfers)
        if (t.requestID == request.requestID()) t.announced = true;
  }
  pump(peer.uuid);
}

void UploadServer::pump(const Uuid& peer) {
  {
    std::lock_guard lock(mutex_);
    const auto out = outgoing_.find(peer);
    if (out == outgoing_.end()) return;
    // One thread at a time hands a peer's frames over, so they leave in order.
    if (out->second.pumping) {
      out->second.again = true;
      return;
    }
    out->second.pumping = true;
  }
  for (;;) {
    std::shared_ptr<WebRTCClient> client;
    {
      std::lock_guard lock(mutex_);
      client = outgoing_.at(peer).client;
    }
    const bool connected = PeerEngineSupport::connected(client);
    const size_t buffered = connected ? client->bufferedAmount() : 0;
    const size_t unconfirmed = connected ? client->unconfirmedAmount() : 0;
    const auto window = connected ? client->peerReceiveWindow() : std::nullopt;
    uint64_t sent = 0;  // bytes newly acknowledged by the peer
    std::optional<Data> frame;
    Uuid requestID;
    bool done = false;
    Later later;
    {
      std::lock_guard lock(mutex_);
      auto& out = outgoing_.at(peer);
      // The channel is first in, first out: what was handed over and is no longer waiting for
      // the peer's acknowledgement has reached it. Once the connection is gone, nothing more
      // is known to have left: what it still held is not counted.
      const double now = PeerEngineSupport::now();
      if (connected) {
        const uint64_t left = out.handed - std::min<uint64_t>(out.handed, unconfirmed);
        if (left > out.left) {
          sent = left - out.left;
          out.left = left;
        }
      }
      // Bytes acknowledged while the peer's window stays shut are window probes it took, not
      // reading: a peer that reads nothing can acknowledge those for good, at the pace of an
      // honest slow reader. Nothing left waiting for the peer is no stall either: what remains
      // waits on this side.
      const bool shut = window && *window < kMinOpenWindowBytes;
      if (out.left != out.movedFrom) {
        if (!shut) out.movedAt = now;
        out.movedFrom = out.left;
      }
      if (out.left == out.handed) out.movedAt = now;
      std::erase_if(out.transfers, [&](const Transfer& t) { return t.end && *t.end <= out.left; });
      if (!out.transfers.empty() && (!connected || now - out.movedAt > kMaxUploadStallSeconds)) {
        uploadLine(connected ? "upload stalled" : "upload to a peer gone", peer, [&] {
          return std::string(connected ? "peer takes nothing" : "peer gone") +
                 ", transfers ended: " + std::to_string(out.transfers.size());
        });
        out.transfers.clear();
      }
      const auto burst = static_cast<double>(kMaxQueuedUploadBytesPerPeer);
      // The total is shared evenly among the peers being served: taken first come, first
      // served, the two peers whose looks came first took all of it, and a third asking beside
      // them got nothing for seconds.
      const auto served =
          static_cast<double>(std::count_if(outgoing_.begin(), outgoing_.end(), [](const auto& o) {
            return !o.second.transfers.empty();
          }));
      const double pace = std::min(kMaxUploadBytesPerSecondPerPeer,
                                   kMaxUploadBytesPerSecond / std::max(1.0, served));
      out.allowance = std::min(burst, out.allowance + (now - out.allowedAt) * pace);
      out.allowedAt = now;
      allowance_ = std::min(burst, allowance_ + (now - allowedAt_) * kMaxUploadBytesPerSecond);
      allowedAt_ = now;
      const auto frameBytes = static_cast<double>(SegmentFrame::kHeaderBytes + kChunkBytes);
      if (buffered < kMaxQueuedUploadBytesPerPeer && out.allowance >= frameBytes &&
          allowance_ >= frameBytes) {
        for (auto& t : out.transfers) {
          if (!t.announced || t.end) continue;
          if (t.offset >= t.segment->data().size()) {
            t.end = out.handed;  // an empty segment: its answer says so, and no frame follows
            t.segment.reset();
            continue;
          }
          const auto payload =
              t.segment->data().view().substr(t.offset, static_cast<size_t>(kChunkBytes));
          frame = SegmentFrame::make(t.requestID, t.offset, payload);
          requestID = t.requestID;
          t.offset += payload.size();
          out.allowance -= static_cast<double>(frame->size());
          allowance_ -= static_cast<double>(frame->size());
          break;
        }
      }
      if (!frame) {
        if (out.again) {
          out.again = false;  // another thread found work meanwhile: look once more
        } else {
          done = true;
          out.pumping = false;
          if (out.transfers.empty()) {
            outgoing_.erase(peer);
          } else if (!out.pollDue && later_) {
            // Frames held back or not yet gone: nothing else wakes this peer's transfers.
            out.pollDue = true;
            later = later_;
          }
        }
      }
    }
    if (sent > 0) {
      // Counted as uploaded only now that the peer has them.
      if (auto delegate = client->delegate())
        delegate->webRTCClient(*client, static_cast<int64_t>(sent));
    }
    if (frame) {
      const uint64_t frameBytes = frame->size();
      const bool accepted = client->sendSegmentFrame(*frame);
      std::lock_guard lock(mutex_);
      auto& out = outgoing_.at(peer);
      const auto t = std::find_if(out.transfers.begin(), out.transfers.end(),
                                  [&](const Transfer& x) { return x.requestID == requestID; });
      if (accepted) out.handed += frameBytes;
      if (t == out.transfers.end() || t->end) continue;
      if (!accepted) {
        // The receiver can never complete a segment with a frame missing: the rest would be
        // wasted, so the transfer ends here and the receiver's supervision takes over.
        uploadLine("upload frame refused", peer, [&] {
          return "frame refused by the channel, transfer stopped for requestID: " +
                 requestID.uuidString();
        });
        t->offset = t->segment->data().size();
      }
      if (t->offset >= t->segment->data().size()) {
        t->end = out.handed;
        // Every frame is cut (a copy): the segment's bytes are no longer this transfer's to
        // hold while the peer takes the last ones.
        t->segment.reset();
      }
      continue;
    }
    if (later) {
      later(kUploadPollInterval, [this, peer] {
        {
          std::lock_guard lock(mutex_);
          const auto out = outgoing_.find(peer);
          if (out == outgoing_.end()) return;
          out->second.pollDue = false;
        }
        pump(peer);
      });
    }
    if (done) return;
  }
}

void UploadServer::serve(const std::shared_ptr<const SegmentData>& segment) {
  const SegmentInfo& info = segment->segmentInfo();
  // Another store's segment (two engines in one process) is not this client's to serve.
  if (environment_.storage->getSegment(info, segment->videoID()) != segment) return;
  PeerEngineSupport::info(OLogModule::p2pUpload, [&] {
    return "notifcation received about new segment available: " +
           PeerEngineSupport::segmentText(info);
  });
  const std::string mediaType(rawValue(info.type()));
  std::vector<PendingUploadFileRequestMessage> matching;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : waiting_) {
      const auto& m = entry.message;
      if (m.videoID() == segment->videoID() && m.mediaType() == mediaType &&
          m.segmentNumber() == info.segmentNumber() && m.quality() == info.targetQuality() &&
          std::none_of(matching.begin(), matching.end(),
                       [&](const auto& e) { return e.message.requestID() == m.requestID(); }))
        matching.push_back(entry);
    }
    std::erase_if(waiting_, [&](const auto& e) {
      return std::any_of(matching.begin(), matching.end(), [&](const auto& x) {
        return x.message.requestID() == e.message.requestID();
      });
    });
  }
  for (const auto& entry : matching) {
    uploadLine("upload of an awaited segment", entry.peer.uuid, [&] {
      return "responde to peer about awaiting segment: " + PeerEngineSupport::segmentText(info);
    });
    respond(segment, entry.message, entry.peer);
  }

  // Then every other waiting request whose segment the store now holds. Each is taken off the
  // list under the lock before it is answered: take()'s second look may meet the same request at
  // the same moment, and only the one that takes it answers.
  std::vector<PendingUploadFileRequestMessage> rest;
  {
    std::lock_guard lock(mutex_);
    rest.assign(waiting_.begin(), waiting_.end());
  }
  // By request: a request received twice waits twice and is answered once.
  std::map<Uuid, std::pair<PendingUploadFileRequestMessage, std::shared_ptr<const SegmentData>>>
      found;
  for (const auto& entry : rest) {
    const auto& m = entry.message;
    if (found.count(m.requestID()) != 0) continue;
    if (auto stored = environment_.storage->getSegment(m.mediaType(), m.quality(),
                                                       m.segmentNumber(), m.videoID()))
      found.emplace(m.requestID(), std::make_pair(entry, std::move(stored)));
  }
  std::set<Uuid> still;  // found requests still waiting: those this pass takes
  size_t left = 0;
  {
    const double t = PeerEngineSupport::now();
    std::lock_guard lock(mutex_);
    std::erase_if(waiting_, [&](const auto& e) {
      if (found.count(e.message.requestID()) != 0) {
        still.insert(e.message.requestID());
        return true;
      }
      return t - e.timestamp > kPendingUploadFileTolerance;
    });
    left = waiting_.size();
  }
  // Answered in the order they were filed.
  std::vector<std::pair<PendingUploadFileRequestMessage, std::shared_ptr<const SegmentData>>> taken;
  for (const auto& entry : rest) {
    if (still.erase(entry.message.requestID()) != 0)
      taken.push_back(std::move(found.at(entry.message.requestID())));
  }
  for (const auto& [entry, stored] : taken) {
    respond(stored, entry.message, entry.peer);
    const SegmentData& segment = *stored;  // a lambda may not capture a structured binding
    uploadLine("upload of a segment found waiting", entry.peer.uuid, [&] {
      return "segment become available: " + PeerEngineSupport::segmentText(segment.segmentInfo());
    });
  }
  PeerEngineSupport::info(OLogModule::p2pUpload, [&] {
    return "awaiting segment requests to be responded: " + std::to_string(left);
  });
}

size_t UploadServer::count() const {
  std::lock_guard lock(mutex_);
  return waiting_.size();
}

size_t UploadServer::inFlight(const Uuid& requester) const {
  std::lock_guard lock(mutex_);
  const auto out = outgoing_.find(requester);
  return out == outgoing_.end() ? 0 : out->second.transfers.size();
}

bool UploadServer::serves(const Uuid& requester) const {
  std::lock_guard lock(mutex_);
  return outgoing_.count(requester) != 0 ||
         std::any_of(waiting_.begin(), waiting_.end(),
                     [&](const auto& e) { return e.peer.uuid == requester; });
}

}  // namespace ombrelia
