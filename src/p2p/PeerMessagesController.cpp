#include "p2p/PeerMessagesController.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include "protocol/AnalyticsFeed.hpp"
#include "protocol/AbonnementRequestMessageReader.hpp"
#include "protocol/AbonnementResponseMessageReader.hpp"
#include "protocol/FileAvailabilityRequestMessageReader.hpp"
#include "protocol/FileAvailabilityResponseMessageReader.hpp"
#include "protocol/FileRequestEndMessage.hpp"
#include "protocol/FileRequestMessageReader.hpp"
#include "protocol/FileRequestResponseMessageReader.hpp"
#include "protocol/FileRequestStopMessageReader.hpp"
#include "p2p/PeerChain.hpp"
#include "protocol/PeerChainMessageReader.hpp"
#include "protocol/SegmentFrame.hpp"
#include "p2p/StallCheck.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/JsonReader.hpp"
#include "platform/MonotonicClock.hpp"
#include "platform/OnceCompletion.hpp"
#include "platform/Timer.hpp"
#include "store/SegmentData.hpp"
#include "proxy/Utf8.hpp"
#include "store/VideoStorage.hpp"
#include "peers/PeerList.hpp"
#include "peers/WebRTCClient.hpp"

namespace ombrelia {

namespace {

// Ages are measured on the library's monotonic clock, so that tests can drive them.
double now() {
  return std::chrono::duration<double>(platform::MonotonicClock::now().time_since_epoch()).count();
}

double wallClockNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void debug(OLogModule module, const std::function<std::string()>& message) {
  if (OmbreliaLogger::isEnabled(OLogLevel::debug, module)) OmbreliaLogger::debug(message(), module);
}

void info(OLogModule module, const std::function<std::string()>& message) {
  if (OmbreliaLogger::isEnabled(OLogLevel::info, module)) OmbreliaLogger::info(message(), module);
}

// The shortest text that reads back to the same double, integral values with ".0" (132.0).
std::string scoreText(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string segmentText(const SegmentInfo& info) {
  return std::to_string(info.segmentNumber()) + ", type: " + std::string(rawValue(info.type())) +
         ", quality: " + std::to_string(info.targetQuality());
}

bool connected(const std::shared_ptr<WebRTCClient>& client) {
  return client && client->isConnected();
}

using Once = platform::OnceCompletion<std::optional<Data>, std::optional<std::string>,
                                      std::optional<PeerType>>;

}  // namespace

std::shared_ptr<PeerMessagesController> PeerMessagesController::create(
    std::shared_ptr<SignalingClient> signalClient,
    std::shared_ptr<AnalyticsFeed> analyticsService) {
  return create(std::move(signalClient), std::move(analyticsService),
                PeerMessagesEnvironment::shared());
}

std::shared_ptr<PeerMessagesController> PeerMessagesController::create(
    std::shared_ptr<SignalingClient> signalClient,
    std::shared_ptr<AnalyticsFeed> analyticsService, PeerMessagesEnvironment environment) {
  auto engine = std::shared_ptr<PeerMessagesController>(new PeerMessagesController(
      std::move(signalClient), std::move(analyticsService), std::move(environment)));
  engine->start();
  return engine;
}

PeerMessagesController::PeerMessagesController(std::shared_ptr<SignalingClient> signalClient,
                                               std::shared_ptr<AnalyticsFeed> analyticsService)
    : PeerMessagesController(std::move(signalClient), std::move(analyticsService),
                             PeerMessagesEnvironment::shared()) {}

PeerMessagesController::PeerMessagesController(std::shared_ptr<SignalingClient> signalClient,
                                               std::shared_ptr<AnalyticsFeed> analyticsService,
                                               PeerMessagesEnvironment environment)
    : signalClient_(std::move(signalClient)),
      analyticsService_(std::move(analyticsService)),
      environment_(std::move(environment)) {}

PeerMessagesController::~PeerMessagesController() {
  if (timer_) timer_->invalidate();
  // Requests still listed go with their records; each completion is wrapped to answer with
  // nothing when it is dropped uncalled, so no caller waits for an engine that is gone.
}

void PeerMessagesController::start() {
  peerConnectionController_ = PeerConnectionController::create(signalClient_);
  uploadQueue_ = platform::DispatchQueue::create("pendingUploadFileRequestBarrier");
  std::weak_ptr<PeerMessagesController> weak = weak_from_this();
  auto& center = platform::NotificationCenter::defaultCenter();
  observers_.push_back(
      center.addObserver(PeerList::kNewGroupPeer, [weak](const platform::Notification& n) {
        auto self = weak.lock();
        const Peer* peer = std::any_cast<Peer>(&n.object);
        if (self && peer && peer->webRTCClient) peer->webRTCClient->setDelegate(self);
      }));
  observers_.push_back(
      center.addObserver(PeerList::kPeerDisconected, [weak](const platform::Notification& n) {
        auto self = weak.lock();
        const Uuid* uuid = std::any_cast<Uuid>(&n.object);
        if (!self || !uuid) return;
        self->endAbonnementIf([&](const AbonnementPeer& a) { return a.peer.uuid == *uuid; });
      }));
  observers_.push_back(center.addObserver(
      VideoStorage::kNewSegmentNotification, [weak](const platform::Notification& n) {
        auto self = weak.lock();
        const auto* segment = std::any_cast<std::shared_ptr<const SegmentData>>(&n.object);
        if (self && segment && *segment) self->newSegmentAvailable(*segment);
      }));
  platform::Timer::Settings settings;
  settings.interval = kStallCheckInterval;
  settings.repeats = true;
  settings.queue = platform::DispatchQueue::main();
  timer_ = platform::Timer::scheduled(settings, [weak] {
    if (auto self = weak.lock()) self->checkRequestMessages();
  });
  observers_.push_back(center.addObserver(kLeaveGroup, [weak](const platform::Notification& n) {
    auto self = weak.lock();
    const bool* leave = std::any_cast<bool>(&n.object);
    if (self && leave && *leave) self->endAbonnementIf([](const AbonnementPeer&) { return true; });
  }));
}

// ---- subscription ------------------------------------------------------------------------

std::optional<AbonnementPeer> PeerMessagesController::abonnementPeer() const {
  std::lock_guard lock(abonnementMutex_);
  return abonnementPeer_;
}

bool PeerMessagesController::subscribeIfNone(const Peer& peer) {
  std::lock_guard lock(abonnementMutex_);
  if (abonnementPeer_) return false;
  abonnementPeer_ =
      AbonnementPeer{AbonnementState::potential, peer, std::nullopt, wallClockNow(), std::nullopt};
  ++abonnementGeneration_;
  abonnementSince_ = now();
  return true;
}

std::optional<PeerMessagesController::Subscribed> PeerMessagesController::subscribed() const {
  std::lock_guard lock(abonnementMutex_);
  if (!abonnementPeer_) return std::nullopt;
  return Subscribed{abonnementPeer_->peer.webRTCClient, abonnementPeer_->peer.uuid,
                    abonnementGeneration_};
}

uint64_t PeerMessagesController::abonnementGeneration() const {
  std::lock_guard lock(abonnementMutex_);
  return abonnementGeneration_;
}

void PeerMessagesController::endAbonnementIf(
    const std::function<bool(const AbonnementPeer&)>& predicate) {
  std::optional<uint64_t> generation;
  {
    std::lock_guard lock(abonnementMutex_);
    if (abonnementPeer_ && predicate(*abonnementPeer_)) generation = abonnementGeneration_;
  }
  if (generation) endAbonnement(*generation);
}

void PeerMessagesController::endAbonnement(uint64_t generation) {
  // The subscription ends before any caller is answered, so a caller that falls back and asks
  // again never finds the peer it just gave up on.
  {
    std::lock_guard lock(abonnementMutex_);
    if (abonnementPeer_ && abonnementGeneration_ <= generation) {
      abonnementPeer_.reset();
      ++abonnementGeneration_;
    }
  }
  std::vector<RequestPtr> ended;
  {
    std::lock_guard lock(requestMutex_);
    auto kept = std::stable_partition(
        pendingFileRequestMessages_.begin(), pendingFileRequestMessages_.end(),
        [&](const RequestPtr& r) { return r->generation > generation; });
    ended.assign(kept, pendingFileRequestMessages_.end());
    pendingFileRequestMessages_.erase(kept, pendingFileRequestMessages_.end());
  }
  failRequests(std::move(ended));
}

void PeerMessagesController::failRequests(std::vector<RequestPtr> requests) {
  for (const auto& request : requests) {
    std::shared_ptr<WebRTCClient> client;
    {
      std::lock_guard lock(requestMutex_);
      client = request->uploaderClient.lock();
      request->state = FileRequestState::finished;
      request->reassembly.reset();
    }
    // Only the peer that was asked hears of the stop.
    if (connected(client))
      client->sendFileRequestStop(FileRequestStopMessage(
          std::string(FileRequestStopMessage::typeString), request->message.requestID()));
    std::lock_guard lock(requestMutex_);
    request->onCompleted(std::nullopt, std::nullopt, std::nullopt);
  }
}

void PeerMessagesController::sendAbonnementRequest() {
  const auto abonnement = abonnementPeer();
  if (!abonnement) return;
  const auto client = abonnement->peer.webRTCClient;
  if (!connected(client)) return;
  const AbonnementRequestMessage message(std::string(AbonnementRequestMessage::typeString),
                                         Uuid::random(), 1);
  {
    // The state changes before the message leaves, so the answer always finds its request.
    // A subscription replaced meanwhile is not the one this request is for.
    std::lock_guard lock(abonnementMutex_);
    if (!abonnementPeer_ || abonnementPeer_->peer.uuid != abonnement->peer.uuid ||
        abonnementPeer_->state != AbonnementState::potential)
      return;
    abonnementPeer_->requetID = message.requestID();
    abonnementPeer_->state = AbonnementState::requested;
  }
  client->sendAbonnementRequestMessage(message);
}

void PeerMessagesController::sendAbonnementRequestResponseMessage(
    const AbonnementRequestMessage& receviedMessage, const Peer& peer) {
  if (!peer.webRTCClient) return;
  // Two peers serving each other would have no source: refuse the peer this client already
  // downloads from.
  const auto abonnement = abonnementPeer();
  const bool success = !(abonnement && abonnement->peer.uuid == peer.uuid &&
                         abonnement->state == AbonnementState::confirmed);
  if (!peer.webRTCClient->isConnected()) return;
  peer.webRTCClient->sendAbonnementResponseMessage(AbonnementResponseMessage(
      std::string(AbonnementResponseMessage::typeString), receviedMessage.requestID(), success));
}

void PeerMessagesController::handleAbonnementResponse(const Uuid& requestID, bool success,
                                                      const Peer& from) {
  std::optional<uint64_t> refused;
  {
    std::lock_guard lock(abonnementMutex_);
    // Only the peer that was asked answers for the subscription.
    if (!abonnementPeer_ || abonnementPeer_->requetID != requestID ||
        abonnementPeer_->peer.uuid != from.uuid)
      return;
    if (success)
      abonnementPeer_->state = AbonnementState::confirmed;
    else
      refused = abonnementGeneration_;
  }
  if (refused) endAbonnement(*refused);
}

void PeerMessagesController::stopAbonnement() { endAbonnement(abonnementGeneration()); }

void PeerMessagesController::checkRequestMessages() {
  const double sd = static_cast<double>(environment_.segmentDuration());
  const auto b = environment_.bufferLength();
  const double t = now();

  // A subscription that is not answered in time, or whose channel is gone, ends here.
  std::optional<uint64_t> expired;
  {
    std::lock_guard lock(abonnementMutex_);
    if (abonnementPeer_) {
      const bool confirmed = abonnementPeer_->state == AbonnementState::confirmed;
      if ((!confirmed && t - abonnementSince_ > kAbonnementAnswerTolerance) ||
          (confirmed && !connected(abonnementPeer_->peer.webRTCClient)))
        expired = abonnementGeneration_;
    }
  }
  if (expired) {
    debug(OLogModule::peerMessagesController,
          [] { return std::string("subscription ended: unanswered or its channel is gone"); });
    endAbonnement(*expired);
  }

  // Waiting uploads expire even when no segment is stored for a long time.
  {
    std::lock_guard lock(uploadMutex_);
    std::erase_if(pendingUploadFileRequestMessages_,
                  [&](const auto& e) { return t - e.timestamp > kPendingUploadFileTolerance; });
  }

  const uint64_t generation = abonnementGeneration();
  std::vector<StallCheck::Request> requests;
  std::vector<RequestPtr> latePredownloads;
  {
    std::lock_guard lock(requestMutex_);
    for (auto it = pendingFileRequestMessages_.begin(); it != pendingFileRequestMessages_.end();) {
      const auto& request = *it;
      if (request->type == FileRequestType::predownload &&
          request->requestElapsedTime(t) > kPredownloadToleranceSegments * std::max(sd, 1.0)) {
        latePredownloads.push_back(request);
        it = pendingFileRequestMessages_.erase(it);
        continue;
      }
      if (request->state != FileRequestState::finished &&
          request->type != FileRequestType::predownload)
        requests.push_back({request->requestTimeLeft(t), request->requestElapsedTime(t)});
      ++it;
    }
  }
  failRequests(std::move(latePredownloads));
  if (StallCheck::shouldStop(b, sd, requests)) endAbonnement(generation);
}

// ---- availability search and subscription choice --------------------------------------------

void PeerMessagesController::continueAbonnementAsReceiverSearch(const SegmentInfo& segmentInfo,
                                                                const std::string& videoID) {
  sendFileAvailabilityMessage(segmentInfo, videoID);
}

void PeerMessagesController::sendFileAvailabilityMessage(const SegmentInfo& segmentInfo,
                                                         const std::string& videoID) {
  const std::string mediaType(rawValue(segmentInfo.type()));
  uint64_t searchID = 0;
  {
    std::lock_guard lock(availabilityMutex_);
    searchID = ++nextSearchID_;
  }
  for (const auto& peer : environment_.peers()) {
    if (!connected(peer.webRTCClient)) continue;
    const BufferData buffer = environment_.storage->getBufferFrom(
        mediaType, segmentInfo.targetQuality(), segmentInfo.segmentNumber(), videoID);
    FileAvailabilityRequestMessage message(
        std::string(FileAvailabilityRequestMessage::typeString), Uuid::random(), mediaType,
        segmentInfo.targetQuality(), segmentInfo.segmentNumber(), videoID,
        buffer.nrOfSegments * OmbreliaConfig::shared().maxUploadPercent());
    {
      std::lock_guard lock(availabilityMutex_);
      if (pendingFileAvailabilityMessages_.size() >= kMaxPendingAvailability)
        pendingFileAvailabilityMessages_.pop_front();
      pendingFileAvailabilityMessages_.push_back({now(), message, {}, searchID, false});
    }
    peer.webRTCClient->sendFileAvailbilityRequestMessage(message);
  }
}

void PeerMessagesController::sendFileAvailabilityResponseMessage(
    const FileAvailabilityRequestMessage& query, const Peer& peer) {
  if (!connected(peer.webRTCClient)) return;
  auto& storage = *environment_.storage;
  const auto availability = storage.isSegmentAvailable(query.mediaType(), query.quality(),
                                                       query.segmentNumber(), query.videoID());
  const BufferData buffer = storage.getBufferFrom(query.mediaType(), query.quality(),
                                                  query.segmentNumber(), query.videoID());
  peer.webRTCClient->sendFileAvailbilityResponseMessage(FileAvailabilityResponseMessage(
      std::string(FileAvailabilityResponseMessage::typeString), query.requestID(), availability.sr,
      availability.qa, static_cast<int64_t>(availability.pos), storage.getSt(query.segmentNumber()),
      storage.getSte(query.segmentNumber()), buffer.bufferSeconds,
      buffer.nrOfSegments * OmbreliaConfig::shared().maxUploadPercent()));
}

void PeerMessagesController::parseFileAvailabilityResponse(
    const FileAvailabilityResponseMessage& message, const Peer& peer) {
  bool subscribed = false;
  bool scheduleChoice = false;
  uint64_t searchID = 0;
  {
    std::lock_guard lock(availabilityMutex_);
    auto entry = std::find_if(
        pendingFileAvailabilityMessages_.begin(), pendingFileAvailabilityMessages_.end(),
        [&](const auto& e) { return e.message.requestID() == message.requestID(); });
    if (entry != pendingFileAvailabilityMessages_.end()) {
      const bool hasAbonnement = abonnementPeer().has_value();
      if (message.sr() == SegmentReady::ok && !hasAbonnement) {
        // Checked and made in one step with respect to other subscriptions.
        if (subscribeIfNone(peer)) {
          pendingFileAvailabilityMessages_.erase(entry);
          subscribed = true;
        }
      } else if (message.sr() != SegmentReady::notok && !hasAbonnement && message.pos() > 0) {
        const double score = 25.0 * static_cast<double>(message.pos()) + (message.buf() - 30.0) +
                             5.0 * message.r() + 50.0 * peer.sameIPAsDouble() +
                             10.0 * peer.sameCityAsDouble() + 5.0 * peer.sameRegionAsDouble();
        if (std::isfinite(score) && entry->scores.size() < kMaxScoresPerQuery) {
          // One choice per search, scheduled by the first scored answer to any of its queries.
          searchID = entry->searchID;
          scheduleChoice = std::none_of(
              pendingFileAvailabilityMessages_.begin(), pendingFileAvailabilityMessages_.end(),
              [&](const auto& e) { return e.searchID == searchID && e.choiceScheduled; });
          if (scheduleChoice)
            for (auto& e : pendingFileAvailabilityMessages_)
              if (e.searchID == searchID) e.choiceScheduled = true;
          entry->scores.push_back({peer, score});
          debug(OLogModule::peerScore, [&] {
            return "score for potential abonement uuid: " + peer.uuid.uuidString() +
                   " score: " + scoreText(score);
          });
        }
      }
    }
    const double t = now();
    std::erase_if(pendingFileAvailabilityMessages_,
                  [&](const auto& e) { return t - e.timestamp > kPendingAvailabilityTolerance; });
  }
  if (subscribed) sendAbonnementRequest();
  if (scheduleChoice) {
    const double d = static_cast<double>(environment_.segmentDuration());
    const double b = environment_.bufferLength().value_or(0.0);
    double delay = std::min(kMaxChoiceDelaySeconds, std::min(d, b) / 4.0);
    if (!(delay > 0)) delay = 0;
    std::weak_ptr<PeerMessagesController> weak = weak_from_this();
    platform::DispatchQueue::main()->asyncAfter(
        std::chrono::milliseconds(static_cast<int64_t>(delay * 1000)), [weak, searchID] {
          if (auto self = weak.lock()) self->chooseBestScored(searchID);
        });
  }
}

void PeerMessagesController::chooseBestScored(uint64_t searchID) {
  std::optional<FileAvailabilityMessageResponseScore> best;
  {
    std::lock_guard lock(availabilityMutex_);
    for (const auto& entry : pendingFileAvailabilityMessages_) {
      if (entry.searchID != searchID) continue;
      for (const auto& score : entry.scores)
        if (!best || best->score < score.score) best = score;
    }
    std::erase_if(pendingFileAvailabilityMessages_,
                  [&](const auto& e) { return e.searchID == searchID; });
  }
  if (!best) return;
  debug(OLogModule::peerScore, [&] {
    return "abonment with highest score selected: " + best->peer.uuid.uuidString() +
           " score: " + scoreText(best->score);
  });
  // A subscription made since the choice was scheduled (the search found none) is newer than
  // the choice and stays: a choice never replaces a subscription.
  if (subscribeIfNone(best->peer)) sendAbonnementRequest();
}

// ---- downloading ------------------------------------------------------------------------

void PeerMessagesController::sendFileRequest(const SegmentInfo& segmentInfo, FileRequestType type,
                                             const std::string& videoID,
                                             FileCompletion completion) {
  // Whatever happens to the request, the caller is answered once.
  completion = Once::wrap(std::move(completion), std::nullopt, std::nullopt, std::nullopt);
  const auto subscription = subscribed();
  if (!subscription || !subscription->client) {
    completion(std::nullopt, std::nullopt, std::nullopt);
    return;
  }
  const auto& client = subscription->client;
  const std::string mediaType(rawValue(segmentInfo.type()));
  std::optional<FileRequestMessage> message;
  std::vector<RequestPtr> replaced;
  bool joined = false;
  {
    std::lock_guard lock(requestMutex_);
    // A subscription that ended since it was read has answered its requests already; a record
    // listed now would wait for a peer that is no longer asked. Read again under the list lock:
    // an ending subscription changes the generation before it sweeps the list.
    if (abonnementGeneration() == subscription->generation) {
      const double t = now();
      if (OmbreliaConfig::shared().maxPreloadedSegments() > 0) {
        auto same = std::find_if(
            pendingFileRequestMessages_.begin(), pendingFileRequestMessages_.end(),
            [&](const RequestPtr& r) {
              return r->state != FileRequestState::finished &&
                     r->generation == subscription->generation &&
                     r->message.segmentNumber() == segmentInfo.segmentNumber() &&
                     r->message.quality() == segmentInfo.targetQuality() &&
                     r->message.mediaType() == mediaType && r->message.videoID() == videoID;
            });
        if (same != pendingFileRequestMessages_.end()) {
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
            pendingFileRequestMessages_.erase(same);
          }
        }
      }
      if (!joined && client->isConnected()) {
        message.emplace(std::string(FileRequestMessage::typeString), Uuid::random(), videoID,
                        segmentInfo.segmentNumber(), segmentInfo.targetQuality(), mediaType);
        auto record = std::make_shared<PendingFileRequestMessage>(PendingFileRequestMessage{
            t, std::nullopt, *message, std::nullopt, FileRequestState::pending, type, std::nullopt,
            subscription->peer, client, subscription->generation, std::move(completion)});
        pendingFileRequestMessages_.push_back(std::move(record));
      }
    }
  }
  failRequests(std::move(replaced));
  if (joined) return;
  if (!message) {
    completion(std::nullopt, std::nullopt, std::nullopt);
    return;
  }
  client->sendFileRequestMessage(*message);
}

void PeerMessagesController::sendFileRequestEnd(const Uuid& requestID, const Peer& uploader) {
  // To the peer that sent the segment, whatever the subscription has become meanwhile.
  if (!connected(uploader.webRTCClient)) return;
  uploader.webRTCClient->sendFileRequestEnd(
      FileRequestEndMessage(std::string(FileRequestEndMessage::typeString), requestID));
}

void PeerMessagesController::parseFileRequestResponse(const FileRequestResponseMessage& message,
                                                      const Peer& from) {
  RequestPtr refused;
  {
    std::lock_guard lock(requestMutex_);
    auto entry = std::find_if(
        pendingFileRequestMessages_.begin(), pendingFileRequestMessages_.end(),
        [&](const RequestPtr& r) { return r->message.requestID() == message.requestID(); });
    if (entry == pendingFileRequestMessages_.end()) return;
    RequestPtr request = *entry;
    if (request->uploader != from.uuid) {
      debug(OLogModule::peerMessagesController, [&] {
        return "answer from a peer that was not asked, ignored: " + from.uuid.uuidString();
      });
      return;
    }
    if (request->responseMessage) {
      // The size of the first answer sized the reassembly; a later one must not change it.
      debug(OLogModule::peerMessagesController, [&] {
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
      pendingFileRequestMessages_.erase(entry);
    }
  }
  if (refused) failRequests({std::move(refused)});
}

int64_t PeerMessagesController::reassemblyBytes(const std::optional<Uuid>& uploader) const {
  int64_t total = 0;
  for (const auto& request : pendingFileRequestMessages_) {
    if (uploader && request->uploader != *uploader) continue;
    if (request->reassembly && request->reassembly->started())
      total += static_cast<int64_t>(request->reassembly->size());
  }
  return total;
}

bool PeerMessagesController::isReceiving(const Data& data) const {
  const auto frame = SegmentFrame::parse(data);
  if (!frame) return false;
  std::lock_guard lock(requestMutex_);
  return std::any_of(pendingFileRequestMessages_.begin(), pendingFileRequestMessages_.end(),
                     [&](const RequestPtr& r) {
                       return r->reassembly && r->message.requestID() == frame->requestID;
                     });
}

void PeerMessagesController::didReceivedData(const Data& data, const Peer& from) {
  const auto frame = SegmentFrame::parse(data);
  if (!frame) {
    debug(OLogModule::peerMessagesController,
          [&] { return "segment part too short: " + std::to_string(data.size()) + " bytes"; });
    return;
  }
  const std::string id = frame->requestID.uuidString();
  debug(OLogModule::peerMessagesController, [&] { return "segment part for requestID: " + id; });
  RequestPtr rejected;
  bool completed = false;
  {
    std::lock_guard lock(requestMutex_);
    auto entry = std::find_if(
        pendingFileRequestMessages_.begin(), pendingFileRequestMessages_.end(),
        [&](const RequestPtr& r) { return r->message.requestID() == frame->requestID; });
    if (entry == pendingFileRequestMessages_.end()) return;
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
        OmbreliaLogger::error("reassembly bound reached, requestID: " + id,
                              OLogModule::peerMessagesController);
        fits = false;
      } else if (analyticsService_) {
        analyticsService_->p2pSegmentStartDelay((now() - request.timestamp) * 1000.0,
                                                from.getPeerType());
      }
    }
    const auto result =
        fits ? reassembly.add(frame->offset, frame->payload) : SegmentReassembly::Result::rejected;
    if (result == SegmentReassembly::Result::rejected) {
      if (fits)
        OmbreliaLogger::error("Invalid insertion index or insufficient file size requestID: " + id,
                              OLogModule::peerMessagesController);
      rejected = *entry;
      pendingFileRequestMessages_.erase(entry);
    } else if (result == SegmentReassembly::Result::added && reassembly.complete()) {
      completed = true;
      request.state = FileRequestState::finished;
      Data segment(reassembly.take());
      request.reassembly.reset();
      request.onCompleted(std::move(segment), std::string(kContentType), from.getPeerType());
      // A finished request has nothing left to supervise or stop.
      pendingFileRequestMessages_.erase(entry);
    }
  }
  if (rejected) {
    // A frame that does not fit ends the request with no data: the player takes the origin's.
    failRequests({std::move(rejected)});
  } else if (completed) {
    sendFileRequestEnd(frame->requestID, from);
    debug(OLogModule::peerMessagesController, [&] {
      return "segment completed for requestID: " + id + " from peer: " + from.uuid.uuidString();
    });
  }
}

void PeerMessagesController::parsePeerChainMessage(const PeerChainMessage& received,
                                                   const Peer& from) {
  {
    std::lock_guard lock(requestMutex_);
    // Only the peer asked for the named request speaks for its chain.
    const bool known =
        std::any_of(pendingFileRequestMessages_.begin(), pendingFileRequestMessages_.end(),
                    [&](const RequestPtr& r) {
                      return r->message.requestID() == received.ri() && r->uploader == from.uuid;
                    });
    if (!known) return;
  }
  const auto personal = environment_.personalUUID();
  if (!personal) return;
  const std::string me = PeerChain::peerName(*personal);
  debug(OLogModule::loopDetection, [&] { return "my uuid prefix: " + me; });
  debug(OLogModule::loopDetection, [&] { return "checking received chain: " + received.mi(); });
  if (PeerChain::isInLoop(received.mi(), me)) {
    debug(OLogModule::loopDetection,
          [&] { return "Stopping, we are in the loop chain: " + received.mi(); });
    endAbonnementIf([&](const AbonnementPeer& a) { return a.peer.uuid == from.uuid; });
    return;
  }
  std::lock_guard lock(abonnementMutex_);
  // Stored only from the subscribed peer: it starts the chains this client sends on.
  if (abonnementPeer_ && abonnementPeer_->peer.uuid == from.uuid)
    abonnementPeer_->currentChain = received.mi();
}

// ---- uploading --------------------------------------------------------------------------

void PeerMessagesController::handleFileRequestResponseMessage(const FileRequestMessage& request,
                                                              const Peer& peer) {
  if (!connected(peer.webRTCClient)) return;
  auto& storage = *environment_.storage;
  const auto lookUp = [&] {
    return storage.getSegment(request.mediaType(), request.quality(), request.segmentNumber(),
                              request.videoID());
  };
  if (const auto segment = lookUp()) {
    sendFileRequestResponseMessage(*segment, request, peer);
    info(OLogModule::p2pUpload,
         [&] { return "segment is available: " + segmentText(segment->segmentInfo()); });
    return;
  }
  {
    std::lock_guard lock(uploadMutex_);
    auto& list = pendingUploadFileRequestMessages_;
    const auto fromPeer = [&](const PendingUploadFileRequestMessage& e) {
      return e.peer.uuid == peer.uuid;
    };
    // One peer's flood evicts its own oldest requests, never another peer's.
    if (static_cast<size_t>(std::count_if(list.begin(), list.end(), fromPeer)) >=
        kMaxPendingUploadsPerPeer)
      list.erase(std::find_if(list.begin(), list.end(), fromPeer));
    else if (list.size() >= kMaxPendingUploads)
      list.pop_front();
    list.push_back({now(), request, peer});
  }
  info(OLogModule::p2pUpload, [&] {
    return "segment request added to pending list: " + std::to_string(request.segmentNumber()) +
           ", type: " + request.mediaType() + ", quality: " + std::to_string(request.quality());
  });
  // The segment may have been stored between the first look and the filing, its arrival then
  // finding nothing to serve: look once more now that the request is listed.
  if (const auto segment = lookUp()) {
    bool taken = false;
    {
      std::lock_guard lock(uploadMutex_);
      auto& list = pendingUploadFileRequestMessages_;
      const auto before = list.size();
      std::erase_if(list, [&](const auto& e) {
        return e.message.requestID() == request.requestID() && e.peer.uuid == peer.uuid;
      });
      taken = list.size() != before;
    }
    // Served here only if the store's own serving did not take it first.
    if (taken) sendFileRequestResponseMessage(*segment, request, peer);
  }
}

void PeerMessagesController::handleFileRequestStopMessage(const FileRequestStopMessage& stop) {
  info(OLogModule::p2pUpload,
       [&] { return "received stop message for requestID: " + stop.requestID().uuidString(); });
  std::lock_guard lock(uploadMutex_);
  std::erase_if(pendingUploadFileRequestMessages_,
                [&](const auto& e) { return e.message.requestID() == stop.requestID(); });
}

void PeerMessagesController::sendFileRequestResponseMessage(const SegmentData& segmentData,
                                                            const FileRequestMessage& request,
                                                            const Peer& peer) {
  const auto client = peer.webRTCClient;
  if (!connected(client)) return;
  const Data& bytes = segmentData.data();
  const auto size = static_cast<int64_t>(bytes.size());
  bool busy = false;
  {
    std::lock_guard lock(uploadMutex_);
    int& inFlight = uploadsInFlight_[peer.uuid];
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
    const auto abonnement = abonnementPeer();
    const std::string me = PeerChain::peerName(*personal);
    const std::string chain = PeerChain::build(abonnement ? abonnement->currentChain : std::nullopt,
                                               me, PeerChain::peerName(peer.uuid));
    client->sendPeerChainMessage(
        PeerChainMessage(std::string(PeerChainMessage::typeString), request.requestID(), chain));
    debug(OLogModule::loopDetection, [&] { return "personal uuid prefix: " + me; });
    debug(OLogModule::loopDetection, [&] { return "sending chain list: " + chain; });
  }
  client->sendFileRequestResponseMessage(FileRequestResponseMessage(
      std::string(FileRequestResponseMessage::typeString), request.requestID(), true, 0, size,
      (size + kChunkBytes - 1) / kChunkBytes, size, std::nullopt, std::nullopt, std::nullopt));
  sendSegmentFrames(*client, bytes, request.requestID());
  std::lock_guard lock(uploadMutex_);
  if (--uploadsInFlight_[peer.uuid] <= 0) uploadsInFlight_.erase(peer.uuid);
}

void PeerMessagesController::sendSegmentFrames(WebRTCClient& client, const Data& bytes,
                                               const Uuid& requestID) {
  // One frame at a time, each made just before it is sent: the segment is never copied whole.
  const std::string_view view = bytes.view();
  for (size_t offset = 0; offset < view.size(); offset += static_cast<size_t>(kChunkBytes)) {
    const auto payload = view.substr(offset, static_cast<size_t>(kChunkBytes));
    if (!client.sendFileChunkData(SegmentFrame::make(requestID, offset, payload))) {
      // The receiver can never complete a segment with a frame missing: the rest would be
      // wasted, so the transfer ends here and the receiver's supervision takes over.
      info(OLogModule::p2pUpload, [&] {
        return "frame refused by the channel, transfer stopped for requestID: " +
               requestID.uuidString();
      });
      return;
    }
  }
}

void PeerMessagesController::newSegmentAvailable(std::shared_ptr<const SegmentData> segment) {
  if (!uploadQueue_ || !segment) return;
  std::weak_ptr<PeerMessagesController> weak = weak_from_this();
  uploadQueue_->async([weak, segment = std::move(segment)] {
    if (auto self = weak.lock()) self->serveWaitingUploads(segment);
  });
}

void PeerMessagesController::serveWaitingUploads(
    const std::shared_ptr<const SegmentData>& segment) {
  const SegmentInfo& info = segment->segmentInfo();
  // Another store's segment (two engines in one process) is not this client's to serve.
  if (environment_.storage->getSegment(info, segment->videoID()) != segment) return;
  ombrelia::info(OLogModule::p2pUpload, [&] {
    return "notifcation received about new segment available: " + segmentText(info);
  });
  const std::string mediaType(rawValue(info.type()));
  std::vector<PendingUploadFileRequestMessage> matching;
  {
    std::lock_guard lock(uploadMutex_);
    for (const auto& entry : pendingUploadFileRequestMessages_) {
      const auto& m = entry.message;
      if (m.videoID() == segment->videoID() && m.mediaType() == mediaType &&
          m.segmentNumber() == info.segmentNumber() && m.quality() == info.targetQuality() &&
          std::none_of(matching.begin(), matching.end(),
                       [&](const auto& e) { return e.message.requestID() == m.requestID(); }))
        matching.push_back(entry);
    }
    std::erase_if(pendingUploadFileRequestMessages_, [&](const auto& e) {
      return std::any_of(matching.begin(), matching.end(), [&](const auto& x) {
        return x.message.requestID() == e.message.requestID();
      });
    });
  }
  for (const auto& entry : matching) {
    ombrelia::info(OLogModule::p2pUpload,
                   [&] { return "responde to peer about awaiting segment: " + segmentText(info); });
    sendFileRequestResponseMessage(*segment, entry.message, entry.peer);
  }

  std::vector<PendingUploadFileRequestMessage> rest;
  {
    std::lock_guard lock(uploadMutex_);
    rest.assign(pendingUploadFileRequestMessages_.begin(), pendingUploadFileRequestMessages_.end());
  }
  std::vector<Uuid> served;
  for (const auto& entry : rest) {
    const auto& m = entry.message;
    if (std::find(served.begin(), served.end(), m.requestID()) != served.end()) continue;
    const auto found = environment_.storage->getSegment(m.mediaType(), m.quality(),
                                                        m.segmentNumber(), m.videoID());
    if (!found) continue;
    sendFileRequestResponseMessage(*found, m, entry.peer);
    served.push_back(m.requestID());
    ombrelia::info(OLogModule::p2pUpload, [&] {
      return "segment become available: " + segmentText(found->segmentInfo());
    });
  }
  size_t left = 0;
  {
    const double t = now();
    std::lock_guard lock(uploadMutex_);
    std::erase_if(pendingUploadFileRequestMessages_, [&](const auto& e) {
      return std::find(served.begin(), served.end(), e.message.requestID()) != served.end() ||
             t - e.timestamp > kPendingUploadFileTolerance;
    });
    left = pendingUploadFileRequestMessages_.size();
  }
  ombrelia::info(OLogModule::p2pUpload, [&] {
    return "awaiting segment requests to be responded: " + std::to_string(left);
  });
}

// ---- dispatch ----------------------------------------------------------------------------

bool PeerMessagesController::didReceivedMessage(const std::string& message, const Peer& from) {
  const auto recognized = [](std::string_view type) {
    debug(OLogModule::peerMessagesController,
          [&] { return "Recognized type: " + std::string(type); });
  };
  // Parsed once for the eight readers, each of which would otherwise parse the whole text.
  const auto object = platform::JsonReader::parse(message);
  if (!object) return false;
  if (auto m = FileAvailabilityRequestMessageReader().readJSON(*object)) {
    recognized(m->type());
    sendFileAvailabilityResponseMessage(*m, from);
  } else if (auto m = FileAvailabilityResponseMessageReader().readJSON(*object)) {
    recognized(m->type());
    parseFileAvailabilityResponse(*m, from);
  } else if (auto m = AbonnementRequestMessageReader().readJSON(*object)) {
    recognized(m->type());
    sendAbonnementRequestResponseMessage(*m, from);
  } else if (auto m = AbonnementResponseMessageReader().readJSON(*object)) {
    recognized(m->type());
    handleAbonnementResponse(m->requestID(), m->success(), from);
  } else if (auto m = FileRequestMessageReader().readJSON(*object)) {
    recognized(m->type());
    handleFileRequestResponseMessage(*m, from);
  } else if (auto m = PeerChainMessageReader().readJSON(*object)) {
    recognized(m->type());
    parsePeerChainMessage(*m, from);
  } else if (auto m = FileRequestResponseMessageReader().readJSON(*object)) {
    recognized(m->type());
    parseFileRequestResponse(*m, from);
  } else if (auto m = FileRequestStopMessageReader().readJSON(*object)) {
    recognized(m->type());
    handleFileRequestStopMessage(*m);
  } else {
    return false;
  }
  return true;
}

void PeerMessagesController::webRTCClient(WebRTCClient& client, const LocalCandidate& candidate) {
  if (peerConnectionController_)
    peerConnectionController_->discoveredLocalCandidate(client, candidate);
}

void PeerMessagesController::webRTCClient(WebRTCClient& client, datachannel::DCIceState state) {
  const auto peer = environment_.peerWith(client);
  if (!peer) return;
  if (datachannel::isLost(state))
    endAbonnementIf([&](const AbonnementPeer& a) { return a.peer.uuid == peer->uuid; });
  if (peerConnectionController_)
    peerConnectionController_->receivedConnectionStateChange(client, state);
}

void PeerMessagesController::webRTCClient(WebRTCClient& client, const std::string& text) {
  const auto peer = environment_.peerWith(client);
  if (!peer) return;
  debug(OLogModule::peerMessagesController,
        [&] { return "did receive message from " + peer->uuid.uuidString() + ": " + text; });
  didReceivedMessage(text, *peer);
}

void PeerMessagesController::webRTCClient(WebRTCClient& client, const Data& data) {
  const auto peer = environment_.peerWith(client);
  if (!peer) return;
  // A frame naming a request in progress is a segment frame, whatever its bytes: a frame that
  // happens to be valid UTF-8 (identifier and offset bytes below 0x80, a text payload) must
  // not be offered to the message readers first.
  if (isReceiving(data)) {
    didReceivedData(data, *peer);
    return;
  }
  if (Utf8::isValid(data.view())) {
    const std::string text = data.toString();
    debug(OLogModule::peerMessagesController,
          [&] { return "did receive message from " + peer->uuid.uuidString() + ": " + text; });
    if (didReceivedMessage(text, *peer)) return;
  }
  debug(OLogModule::peerMessagesController, [&] {
    return "did receive data from " + peer->uuid.uuidString() +
           ": (Binary: " + std::to_string(data.size()) + " bytes)";
  });
  didReceivedData(data, *peer);
}

void PeerMessagesController::webRTCClient(WebRTCClient& client, int64_t size) {
  if (!analyticsService_) return;
  const auto peer = environment_.peerWith(client);
  analyticsService_->addDataSent(size, peer ? std::optional(peer->getPeerType()) : std::nullopt);
}

// ---- read-outs ---------------------------------------------------------------------------

size_t PeerMessagesController::pendingFileAvailabilityCount() const {
  std::lock_guard lock(availabilityMutex_);
  return pendingFileAvailabilityMessages_.size();
}

size_t PeerMessagesController::pendingFileRequestCount() const {
  std::lock_guard lock(requestMutex_);
  return pendingFileRequestMessages_.size();
}

size_t PeerMessagesController::pendingUploadFileRequestCount() const {
  std::lock_guard lock(uploadMutex_);
  return pendingUploadFileRequestMessages_.size();
}

void PeerMessagesController::drainUploads() {
  if (uploadQueue_) uploadQueue_->drain();
}

}  // namespace ombrelia
