#include "p2p/PeerMessagesController.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include "analytics/AnalyticsService.hpp"
#include "p2p/AbonnementRequestMessageReader.hpp"
#include "p2p/AbonnementResponseMessageReader.hpp"
#include "p2p/FileAvailabilityRequestMessageReader.hpp"
#include "p2p/FileAvailabilityResponseMessageReader.hpp"
#include "p2p/FileRequestEndMessage.hpp"
#include "p2p/FileRequestMessageReader.hpp"
#include "p2p/FileRequestResponseMessageReader.hpp"
#include "p2p/FileRequestStopMessageReader.hpp"
#include "p2p/PeerChain.hpp"
#include "p2p/PeerChainMessageReader.hpp"
#include "p2p/SegmentFrame.hpp"
#include "p2p/StallCheck.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/JsonReader.hpp"
#include "platform/MonotonicClock.hpp"
#include "platform/OnceCompletion.hpp"
#include "platform/Timer.hpp"
#include "proxy/SegmentData.hpp"
#include "proxy/Utf8.hpp"
#include "proxy/VideoStorage.hpp"
#include "signalling/PeerList.hpp"
#include "webrtc/WebRTCClient.hpp"

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
    std::shared_ptr<AnalyticsService> analyticsService) {
  return create(std::move(signalClient), std::move(analyticsService),
                PeerMessagesEnvironment::shared());
}

std::shared_ptr<PeerMessagesController> PeerMessagesController::create(
    std::shared_ptr<SignalingClient> signalClient,
    std::shared_ptr<AnalyticsService> analyticsService, PeerMessagesEnvironment environment) {
  auto engine = std::shared_ptr<PeerMessagesController>(new PeerMessagesController(
      std::move(signalClient), std::move(analyticsService), std::move(environment)));
  engine->start();
  return engine;
}

PeerMessagesController::PeerMessagesController(std::shared_ptr<SignalingClient> signalClient,
                                               std::shared_ptr<AnalyticsService> analyticsService)
    : PeerMessagesController(std::move(signalClient), std::move(analyticsService),
                             PeerMessagesEnvironment::shared()) {}

PeerMessagesController::PeerMessagesController(std::shared_ptr<SignalingClient> signalClient,
                                               std::shared_ptr<AnalyticsService> analyticsService,
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
        self->clearAbonnementIf([&](const AbonnementPeer& a) { return a.peer.uuid == *uuid; });
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
    if (self && leave && *leave) self->setAbonnementPeer(std::nullopt);
  }));
}

// ---- subscription ------------------------------------------------------------------------

std::optional<AbonnementPeer> PeerMessagesController::abonnementPeer() const {
  std::lock_guard lock(abonnementMutex_);
  return abonnementPeer_;
}

void PeerMessagesController::setAbonnementPeer(std::optional<AbonnementPeer> abonnement) {
  std::lock_guard lock(abonnementMutex_);
  abonnementPeer_ = std::move(abonnement);
}

bool PeerMessagesController::subscribeIfNone(const Peer& peer) {
  std::lock_guard lock(abonnementMutex_);
  if (abonnementPeer_) return false;
  abonnementPeer_ =
      AbonnementPeer{AbonnementState::potential, peer, std::nullopt, wallClockNow(), std::nullopt};
  return true;
}

void PeerMessagesController::subscribe(const Peer& peer) {
  setAbonnementPeer(
      AbonnementPeer{AbonnementState::potential, peer, std::nullopt, wallClockNow(), std::nullopt});
}

void PeerMessagesController::clearAbonnementIf(
    const std::function<bool(const AbonnementPeer&)>& predicate) {
  std::lock_guard lock(abonnementMutex_);
  if (abonnementPeer_ && predicate(*abonnementPeer_)) abonnementPeer_.reset();
}

std::shared_ptr<WebRTCClient> PeerMessagesController::subscribedClient() const {
  std::lock_guard lock(abonnementMutex_);
  return abonnementPeer_ ? abonnementPeer_->peer.webRTCClient : nullptr;
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
    if (!abonnementPeer_ || abonnementPeer_->peer.uuid != abonnement->peer.uuid) return;
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

void PeerMessagesController::handleAbonnementResponse(const Uuid& requestID, bool success) {
  std::lock_guard lock(abonnementMutex_);
  if (!abonnementPeer_ || abonnementPeer_->requetID != requestID) return;
  if (success)
    abonnementPeer_->state = AbonnementState::confirmed;
  else
    abonnementPeer_.reset();
}

void PeerMessagesController::stopAbonnement() {
  std::vector<RequestPtr> requests;
  {
    std::lock_guard lock(requestMutex_);
    requests.swap(pendingFileRequestMessages_);
  }
  // The subscription ends before any caller is answered, so a caller that falls back and asks
  // again never finds the peer it just gave up on; the stops still go to that peer.
  std::shared_ptr<WebRTCClient> client;
  {
    std::lock_guard lock(abonnementMutex_);
    if (abonnementPeer_) client = abonnementPeer_->peer.webRTCClient;
    abonnementPeer_.reset();
  }
  for (const auto& request : requests) {
    if (connected(client))
      client->sendFileRequestStop(FileRequestStopMessage(
          std::string(FileRequestStopMessage::typeString), request->message.requestID()));
    std::lock_guard lock(requestMutex_);
    request->onCompleted(std::nullopt, std::nullopt, std::nullopt);
  }
}

void PeerMessagesController::checkRequestMessages() {
  const double sd = static_cast<double>(environment_.segmentDuration());
  const auto b = environment_.bufferLength();
  std::vector<StallCheck::Request> requests;
  {
    const double t = now();
    std::lock_guard lock(requestMutex_);
    for (const auto& request : pendingFileRequestMessages_) {
      if (request->state == FileRequestState::finished ||
          request->type == FileRequestType::predownload)
        continue;
      requests.push_back({request->requestTimeLeft(t), request->requestElapsedTime(t)});
    }
  }
  if (StallCheck::shouldStop(b, sd, requests)) stopAbonnement();
}

// ---- availability search and subscription choice --------------------------------------------

void PeerMessagesController::continueAbonnementAsReceiverSearch(const SegmentInfo& segmentInfo,
                                                                const std::string& videoID) {
  sendFileAvailabilityMessage(segmentInfo, videoID);
}

void PeerMessagesController::sendFileAvailabilityMessage(const SegmentInfo& segmentInfo,
                                                         const std::string& videoID) {
  const std::string mediaType(rawValue(segmentInfo.type()));
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
      pendingFileAvailabilityMessages_.push_back({now(), message, {}});
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
          scheduleChoice = entry->scores.empty();
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
    const Uuid requestID = message.requestID();
    platform::DispatchQueue::main()->asyncAfter(
        std::chrono::milliseconds(static_cast<int64_t>(delay * 1000)), [weak, requestID] {
          if (auto self = weak.lock()) self->chooseBestScored(requestID);
        });
  }
}

void PeerMessagesController::chooseBestScored(const Uuid& requestID) {
  std::optional<FileAvailabilityMessageResponseScore> best;
  {
    std::lock_guard lock(availabilityMutex_);
    auto entry = std::find_if(pendingFileAvailabilityMessages_.begin(),
                              pendingFileAvailabilityMessages_.end(),
                              [&](const auto& e) { return e.message.requestID() == requestID; });
    if (entry == pendingFileAvailabilityMessages_.end()) return;
    for (const auto& score : entry->scores) {
      if (!best || best->score < score.score) best = score;
    }
    pendingFileAvailabilityMessages_.erase(entry);
  }
  if (best) {
    debug(OLogModule::peerScore, [&] {
      return "abonment with highest score selected: " + best->peer.uuid.uuidString() +
             " score: " + scoreText(best->score);
    });
    subscribe(best->peer);
  }
  sendAbonnementRequest();
}

// ---- downloading ------------------------------------------------------------------------

void PeerMessagesController::sendFileRequest(const SegmentInfo& segmentInfo, FileRequestType type,
                                             const std::string& videoID,
                                             FileCompletion completion) {
  // Whatever happens to the request, the caller is answered once.
  completion = Once::wrap(std::move(completion), std::nullopt, std::nullopt, std::nullopt);
  const auto client = subscribedClient();
  if (!client) {
    completion(std::nullopt, std::nullopt, std::nullopt);
    return;
  }
  const std::string mediaType(rawValue(segmentInfo.type()));
  std::optional<FileRequestMessage> message;
  {
    std::lock_guard lock(requestMutex_);
    if (OmbreliaConfig::shared().maxPreloadedSegments() > 0) {
      auto same = std::find_if(pendingFileRequestMessages_.begin(),
                               pendingFileRequestMessages_.end(), [&](const RequestPtr& r) {
                                 return r->state != FileRequestState::finished &&
                                        r->message.segmentNumber() == segmentInfo.segmentNumber() &&
                                        r->message.quality() == segmentInfo.targetQuality() &&
                                        r->message.mediaType() == mediaType;
                               });
      if (same != pendingFileRequestMessages_.end()) {
        if (type == FileRequestType::main) {
          // The caller whose completion is replaced gets its answer now: nothing.
          (*same)->onCompleted(std::nullopt, std::nullopt, std::nullopt);
          (*same)->type = FileRequestType::main;
          (*same)->completion = std::move(completion);
        } else {
          platform::DispatchQueue::main()->async([completion = std::move(completion)] {
            completion(std::nullopt, std::nullopt, std::nullopt);
          });
        }
        return;
      }
    }
    if (client->isConnected()) {
      message.emplace(std::string(FileRequestMessage::typeString), Uuid::random(), videoID,
                      segmentInfo.segmentNumber(), segmentInfo.targetQuality(), mediaType);
      auto record = std::make_shared<PendingFileRequestMessage>(
          PendingFileRequestMessage{now(),
                                    std::nullopt,
                                    *message,
                                    std::nullopt,
                                    FileRequestState::pending,
                                    type,
                                    std::nullopt,
                                    0,
                                    {},
                                    std::move(completion)});
      pendingFileRequestMessages_.push_back(std::move(record));
    }
  }
  if (!message) {
    completion(std::nullopt, std::nullopt, std::nullopt);
    return;
  }
  client->sendFileRequestMessage(*message);
}

void PeerMessagesController::sendFileRequestStop(const Uuid& requestID) {
  const auto client = subscribedClient();
  if (!connected(client)) return;
  client->sendFileRequestStop(
      FileRequestStopMessage(std::string(FileRequestStopMessage::typeString), requestID));
}

void PeerMessagesController::sendFileRequestEnd(const Uuid& requestID) {
  const auto client = subscribedClient();
  if (!connected(client)) return;
  client->sendFileRequestEnd(
      FileRequestEndMessage(std::string(FileRequestEndMessage::typeString), requestID));
}

void PeerMessagesController::parseFileRequestResponse(const FileRequestResponseMessage& message) {
  RequestPtr refused;
  {
    std::lock_guard lock(requestMutex_);
    auto entry = std::find_if(
        pendingFileRequestMessages_.begin(), pendingFileRequestMessages_.end(),
        [&](const RequestPtr& r) { return r->message.requestID() == message.requestID(); });
    if (entry == pendingFileRequestMessages_.end()) return;
    RequestPtr request = *entry;
    pendingFileRequestMessages_.erase(entry);
    const auto size = message.segmentSize();
    // An announced size outside (0, 64 MiB] would size the reassembly buffer from a peer's
    // word alone: such an answer counts as a refusal.
    const bool sizeOk = !size || (*size > 0 && *size <= kMaxSegmentBytes);
    if (message.valid() && sizeOk) {
      request->state = FileRequestState::inProgres;
      request->responseMessage = message;
      pendingFileRequestMessages_.push_back(std::move(request));
    } else {
      refused = std::move(request);
    }
  }
  if (!refused) return;
  sendFileRequestStop(refused->message.requestID());
  std::lock_guard lock(requestMutex_);
  refused->onCompleted(std::nullopt, std::nullopt, std::nullopt);
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
  enum class Outcome { none, rejected, completed } outcome = Outcome::none;
  std::optional<Data> segment;
  {
    std::lock_guard lock(requestMutex_);
    auto entry = std::find_if(
        pendingFileRequestMessages_.begin(), pendingFileRequestMessages_.end(),
        [&](const RequestPtr& r) { return r->message.requestID() == frame->requestID; });
    if (entry == pendingFileRequestMessages_.end()) return;
    PendingFileRequestMessage& request = **entry;
    if (request.state == FileRequestState::finished || !request.responseMessage ||
        !request.responseMessage->segmentSize())
      return;
    const auto size = static_cast<uint64_t>(*request.responseMessage->segmentSize());
    if (!request.segmentData) {
      if (analyticsService_)
        analyticsService_->p2pSegmentStartDelay((now() - request.timestamp) * 1000.0,
                                                from.getPeerType());
      request.segmentData.emplace(size, uint8_t{0});
    }
    const bool whole = frame->offset % kChunkBytes == 0;
    const uint64_t chunk = frame->offset / kChunkBytes;
    if (whole && chunk < request.receivedChunks.size() && request.receivedChunks[chunk])
      return;  // a repeated frame
    const uint64_t length = frame->payload.size();
    // Written without an addition that could wrap: offset + length <= size.
    if (frame->offset > size || length > size - frame->offset) {
      outcome = Outcome::rejected;
      RequestPtr rejected = *entry;
      pendingFileRequestMessages_.erase(entry);
      OmbreliaLogger::error("Invalid insertion index or insufficient file size requestID: " + id,
                            OLogModule::peerMessagesController);
      rejected->onCompleted(std::nullopt, std::nullopt, std::nullopt);
    } else {
      if (whole) {
        if (request.receivedChunks.empty())
          request.receivedChunks.resize((size + kChunkBytes - 1) / kChunkBytes + 1);
        request.receivedChunks[chunk] = true;
      }
      std::copy(frame->payload.begin(), frame->payload.end(),
                request.segmentData->begin() + static_cast<std::ptrdiff_t>(frame->offset));
      request.countingData += static_cast<int64_t>(length);
      if (static_cast<uint64_t>(request.countingData) == size) {
        outcome = Outcome::completed;
        request.state = FileRequestState::finished;
        segment.emplace(std::move(*request.segmentData));
        request.segmentData.reset();
        request.onCompleted(std::move(segment), std::string(kContentType), from.getPeerType());
        // A finished request has nothing left to supervise or stop.
        pendingFileRequestMessages_.erase(entry);
      }
    }
  }
  if (outcome == Outcome::rejected) {
    sendFileRequestStop(frame->requestID);
  } else if (outcome == Outcome::completed) {
    sendFileRequestEnd(frame->requestID);
    debug(OLogModule::peerMessagesController, [&] {
      return "segment completed for requestID: " + id + " from peer: " + from.uuid.uuidString();
    });
  }
}

void PeerMessagesController::parsePeerChainMessage(const PeerChainMessage& received) {
  {
    std::lock_guard lock(requestMutex_);
    const bool known =
        std::any_of(pendingFileRequestMessages_.begin(), pendingFileRequestMessages_.end(),
                    [&](const RequestPtr& r) { return r->message.requestID() == received.ri(); });
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
    stopAbonnement();
    return;
  }
  std::lock_guard lock(abonnementMutex_);
  if (abonnementPeer_) abonnementPeer_->currentChain = received.mi();
}

// ---- uploading --------------------------------------------------------------------------

void PeerMessagesController::handleFileRequestResponseMessage(const FileRequestMessage& request,
                                                              const Peer& peer) {
  if (!connected(peer.webRTCClient)) return;
  const auto segment = environment_.storage->getSegment(request.mediaType(), request.quality(),
                                                        request.segmentNumber(), request.videoID());
  if (segment) {
    sendFileRequestResponseMessage(*segment, request, peer);
    info(OLogModule::p2pUpload,
         [&] { return "segment is available: " + segmentText(segment->segmentInfo()); });
    return;
  }
  {
    std::lock_guard lock(uploadMutex_);
    if (pendingUploadFileRequestMessages_.size() >= kMaxPendingUploads)
      pendingUploadFileRequestMessages_.pop_front();
    pendingUploadFileRequestMessages_.push_back({now(), request, peer});
  }
  info(OLogModule::p2pUpload, [&] {
    return "segment request added to pending list: " + std::to_string(request.segmentNumber()) +
           ", type: " + request.mediaType() + ", quality: " + std::to_string(request.quality());
  });
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
  const Data& bytes = segmentData.data();
  const auto size = static_cast<int64_t>(bytes.size());
  client->sendFileRequestResponseMessage(FileRequestResponseMessage(
      std::string(FileRequestResponseMessage::typeString), request.requestID(), true, 0, size,
      (size + kChunkBytes - 1) / kChunkBytes, size, std::nullopt, std::nullopt, std::nullopt));
  for (const auto& frame : environment_.storage->getChunksFor(bytes, request.requestID().bytes()))
    client->sendFileChunkData(frame);
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
    handleAbonnementResponse(m->requestID(), m->success());
  } else if (auto m = FileRequestMessageReader().readJSON(*object)) {
    recognized(m->type());
    handleFileRequestResponseMessage(*m, from);
  } else if (auto m = PeerChainMessageReader().readJSON(*object)) {
    recognized(m->type());
    parsePeerChainMessage(*m);
  } else if (auto m = FileRequestResponseMessageReader().readJSON(*object)) {
    recognized(m->type());
    parseFileRequestResponse(*m);
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
    clearAbonnementIf([&](const AbonnementPeer& a) { return a.peer.uuid == peer->uuid; });
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
  // A segment frame can happen to be valid UTF-8 (its identifier and offset bytes below 0x80,
  // a text payload): it is a frame unless a peer message reader takes it.
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
