#include "p2p/UploadServer.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "p2p/Abonnement.hpp"
#include "p2p/PeerChain.hpp"
#include "p2p/PeerEngineSupport.hpp"
#include "p2p/PeerMessagesEnvironment.hpp"
#include "peers/WebRTCClient.hpp"
#include "protocol/FileRequestMessage.hpp"
#include "protocol/FileRequestResponseMessage.hpp"
#include "protocol/FileRequestStopMessage.hpp"
#include "protocol/PeerChainMessage.hpp"
#include "protocol/SegmentFrame.hpp"
#include "store/SegmentData.hpp"
#include "store/VideoStorage.hpp"

namespace ombrelia {

void UploadServer::take(const FileRequestMessage& request, const Peer& peer) {
  if (!PeerEngineSupport::connected(peer.webRTCClient)) return;
  auto& storage = *environment_.storage;
  const auto lookUp = [&] {
    return storage.getSegment(request.mediaType(), request.quality(), request.segmentNumber(),
                              request.videoID());
  };
  if (const auto segment = lookUp()) {
    respond(*segment, request, peer);
    PeerEngineSupport::info(OLogModule::p2pUpload, [&] {
      return "segment is available: " + PeerEngineSupport::segmentText(segment->segmentInfo());
    });
    return;
  }
  {
    std::lock_guard lock(mutex_);
    const auto fromPeer = [&](const PendingUploadFileRequestMessage& e) {
      return e.peer.uuid == peer.uuid;
    };
    // One peer's flood evicts its own oldest requests, never another peer's.
    if (static_cast<size_t>(std::count_if(waiting_.begin(), waiting_.end(), fromPeer)) >=
        kMaxPendingUploadsPerPeer)
      waiting_.erase(std::find_if(waiting_.begin(), waiting_.end(), fromPeer));
    else if (waiting_.size() >= kMaxPendingUploads)
      waiting_.pop_front();
    waiting_.push_back({PeerEngineSupport::now(), request, peer});
  }
  PeerEngineSupport::info(OLogModule::p2pUpload, [&] {
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
    if (taken) respond(*segment, request, peer);
  }
}

void UploadServer::stop(const FileRequestStopMessage& stop) {
  PeerEngineSupport::info(OLogModule::p2pUpload, [&] {
    return "received stop message for requestID: " + stop.requestID().uuidString();
  });
  std::lock_guard lock(mutex_);
  std::erase_if(waiting_, [&](const auto& e) { return e.message.requestID() == stop.requestID(); });
}

void UploadServer::expire(double now) {
  std::lock_guard lock(mutex_);
  std::erase_if(waiting_,
                [&](const auto& e) { return now - e.timestamp > kPendingUploadFileTolerance; });
}

void UploadServer::respond(const SegmentData& segmentData, const FileRequestMessage& request,
                           const Peer& peer) {
  const auto client = peer.webRTCClient;
  if (!PeerEngineSupport::connected(client)) return;
  const Data& bytes = segmentData.data();
  const auto size = static_cast<int64_t>(bytes.size());
  bool busy = false;
  {
    std::lock_guard lock(mutex_);
    int& inFlight = inFlight_[peer.uuid];
    busy = inFlight >= kMaxUploadsInFlightPerPeer;
    if (!busy) ++inFlight;
  }
  if (busy) {
    // Refused rather than queued: the requester takes the segment from the origin at once.
    client->sendFileRequestResponseMessage(FileRequestResponseMessage(
        std::string(FileRequestResponseMessage::typeString), request.requestID(), false,
        std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
        std::nullopt));
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
  sendSegmentFrames(*client, bytes, request.requestID());
  std::lock_guard lock(mutex_);
  if (--inFlight_[peer.uuid] <= 0) inFlight_.erase(peer.uuid);
}

void UploadServer::sendSegmentFrames(WebRTCClient& client, const Data& bytes,
                                     const Uuid& requestID) {
  // One frame at a time, each made just before it is sent: the segment is never copied whole.
  const std::string_view view = bytes.view();
  for (size_t offset = 0; offset < view.size(); offset += static_cast<size_t>(kChunkBytes)) {
    const auto payload = view.substr(offset, static_cast<size_t>(kChunkBytes));
    if (!client.sendFileChunkData(SegmentFrame::make(requestID, offset, payload))) {
      // The receiver can never complete a segment with a frame missing: the rest would be
      // wasted, so the transfer ends here and the receiver's supervision takes over.
      PeerEngineSupport::info(OLogModule::p2pUpload, [&] {
        return "frame refused by the channel, transfer stopped for requestID: " +
               requestID.uuidString();
      });
      return;
    }
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
    PeerEngineSupport::info(OLogModule::p2pUpload, [&] {
      return "responde to peer about awaiting segment: " + PeerEngineSupport::segmentText(info);
    });
    respond(*segment, entry.message, entry.peer);
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
    respond(*stored, entry.message, entry.peer);
    const SegmentData& segment = *stored;  // a lambda may not capture a structured binding
    PeerEngineSupport::info(OLogModule::p2pUpload, [&] {
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

bool UploadServer::serves(const Uuid& requester) const {
  std::lock_guard lock(mutex_);
  return inFlight_.count(requester) != 0 ||
         std::any_of(waiting_.begin(), waiting_.end(),
                     [&](const auto& e) { return e.peer.uuid == requester; });
}

}  // namespace ombrelia
