#include "p2p/SegmentDownloads.hpp"

#include <algorithm>

#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include "p2p/Abonnement.hpp"
#include "p2p/PeerEngineSupport.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/OnceCompletion.hpp"
#include "protocol/AnalyticsFeed.hpp"
#include "protocol/FileRequestEndMessage.hpp"
#include "protocol/FileRequestMessage.hpp"
#include "protocol/FileRequestResponseMessage.hpp"
#include "protocol/FileRequestStopMessage.hpp"
#include "protocol/SegmentFrame.hpp"

namespace ombrelia {

namespace {

using Once = platform::OnceCompletion<std::optional<Data>, std::optional<std::string>,
                                      std::optional<PeerType>>;

void sendFileRequestEnd(const Uuid& requestID, const Peer& uploader) {
  // To the peer that sent the segment, whatever the subscription has become meanwhile.
  if (!PeerEngineSupport::connected(uploader.webRTCClient)) return;
  uploader.webRTCClient->sendFileRequestEnd(
      FileRequestEndMessage(std::string(FileRequestEndMessage::typeString), requestID));
}

const char* typeText(FileRequestType type) {
  return type == FileRequestType::main ? "main" : "predownload";
}

// "12 (video, main)": the segment and the kind of request, as the debug lines name them.
std::string describe(const SegmentInfo& info, FileRequestType type) {
  return std::to_string(info.segmentNumber()) + " (" + std::string(rawValue(info.type())) + ", " +
         typeText(type) + ")";
}

}  // namespace

void SegmentDownloads::request(const SegmentInfo& segmentInfo, FileRequestType type,
                               const std::string& videoID, Completion completion) {
  // Whatever happens to the request, the caller is answered once.
  completion = Once::wrap(std::move(completion), std::nullopt, std::nullopt, std::nullopt);
  const auto subscription = abonnement_.subscribed();
  if (!subscription || !subscription->client) {
    PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
      return "segment " + describe(segmentInfo, type) + " not asked: no subscription";
    });
    completion(std::nullopt, std::nullopt, std::nullopt);
    return;
  }
  const auto& client = subscription->client;
  const std::string mediaType(rawValue(segmentInfo.type()));
  std::optional<FileRequestMessage> message;
  std::vector<RequestPtr> replaced;
  bool joined = false;
  {
    std::lock_guard lock(mutex_);
    // A subscription that ended since it was read has answered its requests already; a record
    // listed now would wait for a peer that is no longer asked. Read again under the list lock:
    // an ending subscription changes the generation before it sweeps the list.
    if (abonnement_.generation() == subscription->generation) {
      const double t = PeerEngineSupport::now();
      if (OmbreliaConfig::shared().maxPreloadedSegments() > 0) {
        auto same = std::find_if(requests_.begin(), requests_.end(), [&](const RequestPtr& r) {
          return r->state != FileRequestState::finished &&
                 r->generation == subscription->generation &&
                 r->message.segmentNumber() == segmentInfo.segmentNumber() &&
                 r->message.quality() == segmentInfo.targetQuality() &&
                 r->message.mediaType() == mediaType && r->message.videoID() == videoID;
        });
        if (same != requests_.end()) {
          if (type == FileRequestType::predownload) {
            platform::DispatchQueue::main()->async([completion = std::move(completion)] {
              completion(std::nullopt, std::nullopt, std::nullopt);
            });
            return;
          }
          if ((*same)->requestElapsedTime(t) <= kMaxJoinAgeSeconds) {
            // The caller whose completion is replaced gets its answer now: nothing.
            (*same)->onCompleted(std::nullopt, std::nullopt, std::nullopt);
            (*same)->type = FileRequestType::main;
            (*same)->completion = std::move(completion);
            joined = true;
          } else {
            // Too late to wait on: it goes, and the main request is asked afresh.
            replaced.push_back(*same);
            requests_.erase(same);
          }
        }
      }
      if (!joined && client->isConnected()) {
        message.emplace(std::string(FileRequestMessage::typeString), Uuid::random(), videoID,
                        segmentInfo.segmentNumber(), segmentInfo.targetQuality(), mediaType);
        auto record = std::make_shared<PendingFileRequestMessage>(PendingFileRequestMessage{
            t, std::nullopt, *message, std::nullopt, FileRequestState::pending, type, std::nullopt,
            subscription->peer, client, subscription->generation, std::move(completion)});
        requests_.push_back(std::move(record));
      }
    }
  }
  fail(std::move(replaced), "a late pre-download replaced by the main request");
  if (joined) return;
  if (!message) {
    PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
      return "segment " + describe(segmentInfo, type) +
             " not asked: the subscription ended or its channel closed";
    });
    completion(std::nullopt, std::nullopt, std::nullopt);
    return;
  }
  PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
    return "segment " + describe(segmentInfo, type) + " asked of peer " +
           subscription->peer.uuidString() + ", requestID: " + message->requestID().uuidString();
  });
  client->sendFileRequestMessage(*message);
}

void SegmentDownloads::endUpTo(uint64_t generation) {
  std::vector<RequestPtr> ended;
  {
    std::lock_guard lock(mutex_);
    auto kept = std::stable_partition(requests_.begin(), requests_.end(), [&](const RequestPtr& r) {
      return r->generation > generation;
    });
    ended.assign(kept, requests_.end());
    requests_.erase(kept, requests_.end());
  }
  fail(std::move(ended), "its subscription ended");
}

void SegmentDownloads::fail(std::vector<RequestPtr> requests, const char* reason) {
  for (const auto& request : requests) {
    std::shared_ptr<WebRTCClient> client;
    {
      std::lock_guard lock(mutex_);
      // Under the lock: a main request joining a pre-download changes its type.
      PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
        return "segment " + std::to_string(request->message.segmentNumber()) + " (" +
               request->message.mediaType() + ", " + typeText(request->type) +
               ") ended with nothing: " + reason +
               ", requestID: " + request->message.requestID().uuidString();
      });
      client = request->uploaderClient.lock();
      request->state = FileRequestState::finished;
      request->reassembly.reset();
    }
    // Only the peer that was asked hears of the stop.
    if (PeerEngineSupport::connected(client))
      client->sendFileRequestStop(FileRequestStopMessage(
          std::string(FileRequestStopMessage::typeString), request->message.requestID()));
    std::lock_guard lock(mutex_);
    request->onCompleted(std::nullopt, std::nullopt, std::nullopt);
  }
}

void SegmentDownloads::takeResponse(const FileRequestResponseMessage& message, const Peer& from) {
  RequestPtr refused;
  {
    std::lock_guard lock(mutex_);
    auto entry = std::find_if(requests_.begin(), requests_.end(), [&](const RequestPtr& r) {
      return r->message.requestID() == message.requestID();
    });
    if (entry == requests_.end()) return;
    RequestPtr request = *entry;
    if (request->uploader != from.uuid) {
      PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
        return "answer from a peer that was not asked, ignored: " + from.uuid.uuidString();
      });
      return;
    }
    if (request->responseMessage) {
      // The size of the first answer sized the reassembly; a later one must not change it.
      PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
        return "second answer ignored for requestID: " + message.requestID().uuidString();
      });
      return;
    }
    const auto size = message.segmentSize();
    // An answer without a size cannot be put together, and a size outside (0, 64 MiB] would
    // size the reassembly buffer from a peer's word alone: both count as a refusal.
    const bool sizeOk = size && *size > 0 && *size <= kMaxSegmentBytes;
    if (message.valid() && sizeOk) {
      request->state = FileRequestState::inProgres;
      request->responseMessage = message;
      request->reassembly.emplace(static_cast<uint64_t>(*size));
    } else {
      refused = std::move(request);
      requests_.erase(entry);
    }
  }
  if (refused) fail({std::move(refused)}, "refused by the peer");
}

int64_t SegmentDownloads::reassemblyBytes(const std::optional<Uuid>& uploader) const {
  int64_t total = 0;
  for (const auto& request : requests_) {
    if (uploader && request->uploader != *uploader) continue;
    if (request->reassembly && request->reassembly->started())
      total += static_cast<int64_t>(request->reassembly->size());
  }
  return total;
}

bool SegmentDownloads::isReceiving(const Data& data) const {
  const auto frame = SegmentFrame::parse(data);
  if (!frame) return false;
  std::lock_guard lock(mutex_);
  return std::any_of(requests_.begin(), requests_.end(), [&](const RequestPtr& r) {
    return r->reassembly && r->message.requestID() == frame->requestID;
  });
}

void SegmentDownloads::takeFrame(const Data& data, const Peer& from) {
  const auto frame = SegmentFrame::parse(data);
  if (!frame) {
    PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
      return "segment part too short: " + std::to_string(data.size()) + " bytes";
    });
    return;
  }
  const std::string id = frame->requestID.uuidString();
  PeerEngineSupport::debug(OLogModule::peerMessagesController,
                           [&] { return "segment part for requestID: " + id; });
  RequestPtr rejected;
  bool completed = false;
  {
    std::lock_guard lock(mutex_);
    auto entry = std::find_if(requests_.begin(), requests_.end(), [&](const RequestPtr& r) {
      return r->message.requestID() == frame->requestID;
    });
    if (entry == requests_.end()) return;
    PendingFileRequestMessage& request = **entry;
    // Frames count only from the peer that was asked, and only once its answer sized them.
    if (request.uploader != from.uuid || request.state == FileRequestState::finished ||
        !request.reassembly)
      return;
    SegmentReassembly& reassembly = *request.reassembly;
    bool fits = true;
    if (!reassembly.started()) {
      const auto size = static_cast<int64_t>(reassembly.size());
      if (reassemblyBytes(request.uploader) + size > kMaxReassemblyBytesPerPeer ||
          reassemblyBytes(std::nullopt) + size > kMaxReassemblyBytesTotal) {
        // A peer that answers every ask with a size past the bound makes this line per ask.
        PeerEngineSupport::perPeer(OLogLevel::error, OLogModule::peerMessagesController,
                                   "reassembly bound reached", from.uuid,
                                   [&] { return "reassembly bound reached, requestID: " + id; });
        fits = false;
      } else if (analytics_) {
        analytics_->p2pSegmentStartDelay((PeerEngineSupport::now() - request.timestamp) * 1000.0,
                                         from.getPeerType());
      }
    }
    const auto result =
        fits ? reassembly.add(frame->offset, frame->payload) : SegmentReassembly::Result::rejected;
    if (result == SegmentReassembly::Result::rejected) {
      if (fits)
        PeerEngineSupport::perPeer(
            OLogLevel::error, OLogModule::peerMessagesController, "segment frame rejected",
            from.uuid,
            [&] { return "Invalid insertion index or insufficient file size requestID: " + id; });
      rejected = *entry;
      requests_.erase(entry);
    } else if (result == SegmentReassembly::Result::added && reassembly.complete()) {
      completed = true;
      request.state = FileRequestState::finished;
      Data segment(reassembly.take());
      request.reassembly.reset();
      request.onCompleted(std::move(segment), std::string(kContentType), from.getPeerType());
      // A finished request has nothing left to supervise or stop.
      requests_.erase(entry);
    }
  }
  if (rejected) {
    // A frame that does not fit ends the request with no data: the player takes the origin's.
    fail({std::move(rejected)}, "a frame did not fit");
  } else if (completed) {
    sendFileRequestEnd(frame->requestID, from);
    PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
      return "segment completed for requestID: " + id + " from peer: " + from.uuid.uuidString();
    });
  }
}

bool SegmentDownloads::isAskedOf(const Uuid& requestID, const Uuid& uploader) const {
  std::lock_guard lock(mutex_);
  return std::any_of(requests_.begin(), requests_.end(), [&](const RequestPtr& r) {
    return r->message.requestID() == requestID && r->uploader == uploader;
  });
}

bool SegmentDownloads::isAnyAskedOf(const Uuid& uploader) const {
  std::lock_guard lock(mutex_);
  return std::any_of(requests_.begin(), requests_.end(),
                     [&](const RequestPtr& r) { return r->uploader == uploader; });
}

std::vector<StallCheck::Request> SegmentDownloads::supervise(double now, double segmentDuration) {
  std::vector<StallCheck::Request> timings;
  std::vector<RequestPtr> latePredownloads;
  {
    std::lock_guard lock(mutex_);
    for (auto it = requests_.begin(); it != requests_.end();) {
      const auto& request = *it;
      if (request->type == FileRequestType::predownload &&
          request->requestElapsedTime(now) >
              kPredownloadToleranceSegments * std::max(segmentDuration, 1.0)) {
        latePredownloads.push_back(request);
        it = requests_.erase(it);
        continue;
      }
      if (request->state != FileRequestState::finished &&
          request->type != FileRequestType::predownload)
        timings.push_back({request->requestTimeLeft(now), request->requestElapsedTime(now),
                           request->message.segmentNumber(), request->responseMessage.has_value()});
      ++it;
    }
  }
  fail(std::move(latePredownloads), "pre-download too late");
  return timings;
}

size_t SegmentDownloads::count() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

}  // namespace ombrelia
