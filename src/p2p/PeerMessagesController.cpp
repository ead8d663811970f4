#include "p2p/PeerMessagesController.hpp"

#include "p2p/PeerEngineSupport.hpp"
#include "peers/PeerList.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/JsonReader.hpp"
#include "platform/Timer.hpp"
#include "platform/url/Utf8.hpp"
#include "protocol/AbonnementRequestMessageReader.hpp"
#include "protocol/AbonnementResponseMessageReader.hpp"
#include "protocol/AnalyticsFeed.hpp"
#include "protocol/FileAvailabilityRequestMessageReader.hpp"
#include "protocol/FileAvailabilityResponseMessageReader.hpp"
#include "protocol/FileRequestMessageReader.hpp"
#include "protocol/FileRequestResponseMessageReader.hpp"
#include "protocol/FileRequestStopMessageReader.hpp"
#include "protocol/PeerChainMessageReader.hpp"
#include "store/SegmentData.hpp"
#include "store/VideoStorage.hpp"

namespace ombrelia {

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
  uploads_.setLater([weak, queue = std::weak_ptr(uploadQueue_)](std::chrono::milliseconds delay,
                                                                std::function<void()> block) {
    if (auto q = queue.lock())
      q->asyncAfter(delay, [weak, block = std::move(block)] {
        if (auto self = weak.lock()) block();
      });
  });
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
        self->endAbonnementIf([&](const AbonnementPeer& a) { return a.peer.uuid == *uuid; },
                              "its peer left the group");
      }));
  observers_.push_back(center.addObserver(
      VideoStorage::kNewSegmentNotification, [weak](const platform::Notification& n) {
        auto self = weak.lock();
        const auto* segment = std::any_cast<std::shared_ptr<const SegmentData>>(&n.object);
        if (self && segment && *segment) self->newSegmentAvailable(*segment);
      }));
  observers_.push_back(center.addObserver(
      VideoStorage::kSegmentWaitsForRoomNotification, [weak](const platform::Notification& n) {
        auto self = weak.lock();
        const auto* storage = std::any_cast<const VideoStorage*>(&n.object);
        if (self && storage && *storage == self->environment_.storage.get() && self->uploadQueue_)
          self->uploadQueue_->async([weak] {
            if (auto controller = weak.lock()) controller->uploads_.endUploadsOfEvicted();
          });
      }));
  platform::Timer::Settings settings;
  settings.interval = kStallCheckInterval;
  settings.repeats = true;
  settings.queue = platform::DispatchQueue::main();
  timer_ = platform::Timer::scheduled(settings, [weak] {
    if (auto self = weak.lock()) {
      self->checkRequestMessages();
      self->retireSupersededConnections();
    }
  });
  observers_.push_back(center.addObserver(kLeaveGroup, [weak](const platform::Notification& n) {
    auto self = weak.lock();
    const bool* leave = std::any_cast<bool>(&n.object);
    if (self && leave && *leave)
      self->endAbonnementIf([](const AbonnementPeer&) { return true; }, "the group was left");
  }));
}

// ---- subscription ------------------------------------------------------------------------

std::optional<AbonnementPeer> PeerMessagesController::abonnementPeer() const {
  return abonnement_.peer();
}

void PeerMessagesController::endAbonnementIf(
    const std::function<bool(const AbonnementPeer&)>& predicate, const char* reason) {
  if (const auto generation = abonnement_.generationIf(predicate)) {
    PeerEngineSupport::debug(OLogModule::peerMessagesController,
                             [&] { return std::string("subscription ended: ") + reason; });
    endAbonnement(*generation);
  }
}

void PeerMessagesController::endAbonnement(uint64_t generation) {
  // The subscription ends before any caller is answered, so a caller that falls back and asks
  // again never finds the peer it just gave up on.
  abonnement_.endUpTo(generation);
  downloads_.endUpTo(generation);
}

void PeerMessagesController::stopAbonnement() { endAbonnement(abonnement_.generation()); }

void PeerMessagesController::checkRequestMessages() { supervisor_.check(); }

void PeerMessagesController::retireSupersededConnections() { retirement_.check(); }

// ---- availability search and subscription choice --------------------------------------------

void PeerMessagesController::continueAbonnementAsReceiverSearch(const SegmentInfo& segmentInfo,
                                                                const std::string& videoID) {
  search_.search(segmentInfo, videoID);
}

void PeerMessagesController::parseFileAvailabilityResponse(
    const FileAvailabilityResponseMessage& message, const Peer& peer) {
  const auto outcome = search_.takeAnswer(message, peer);
  if (outcome.subscribed) abonnement_.sendRequest();
  if (outcome.choice) {
    const double delay = search_.choiceDelay();
    std::weak_ptr<PeerMessagesController> weak = weak_from_this();
    platform::DispatchQueue::main()->asyncAfter(
        std::chrono::milliseconds(static_cast<int64_t>(delay * 1000)),
        [weak, searchID = *outcome.choice] {
          if (auto self = weak.lock()) self->chooseBestScored(searchID);
        });
  }
}

void PeerMessagesController::chooseBestScored(uint64_t searchID) {
  const auto best = search_.takeBest(searchID);
  // A subscription made since the choice was scheduled (the search found none) is newer than
  // the choice and stays: a choice never replaces a subscription.
  if (best && abonnement_.subscribeIfNone(best->peer)) abonnement_.sendRequest();
}

// ---- downloading and uploading -------------------------------------------------------------

void PeerMessagesController::sendFileRequest(const SegmentInfo& segmentInfo, FileRequestType type,
                                             const std::string& videoID,
                                             FileCompletion completion) {
  downloads_.request(segmentInfo, type, videoID, std::move(completion));
}

void PeerMessagesController::newSegmentAvailable(std::shared_ptr<const SegmentData> segment) {
  if (!uploadQueue_ || !segment) return;
  std::weak_ptr<PeerMessagesController> weak = weak_from_this();
  uploadQueue_->async([weak, segment = std::move(segment)] {
    if (auto self = weak.lock()) self->uploads_.serve(segment);
  });
}

// ---- dispatch ----------------------------------------------------------------------------

bool PeerMessagesController::didReceivedMessage(const std::string& message, const Peer& from) {
  const auto recognized = [](std::string_view type) {
    PeerEngineSupport::debug(OLogModule::peerMessagesController,
                             [&] { return "Recognized type: " + std::string(type); });
  };
  // Parsed once for the eight readers, each of which would otherwise parse the whole text.
  const auto object = platform::JsonReader::parse(message);
  if (!object) return false;
  if (auto m = FileAvailabilityRequestMessageReader().readJSON(*object)) {
    recognized(m->type());
    search_.answer(*m, from);
  } else if (auto m = FileAvailabilityResponseMessageReader().readJSON(*object)) {
    recognized(m->type());
    parseFileAvailabilityResponse(*m, from);
  } else if (auto m = AbonnementRequestMessageReader().readJSON(*object)) {
    recognized(m->type());
    abonnement_.answerRequest(*m, from);
  } else if (auto m = AbonnementResponseMessageReader().readJSON(*object)) {
    recognized(m->type());
    if (const auto refused = abonnement_.takeAnswer(m->requestID(), m->success(), from)) {
      PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
        return "subscription ended: refused by peer " + from.uuid.uuidString();
      });
      endAbonnement(*refused);
    }
  } else if (auto m = FileRequestMessageReader().readJSON(*object)) {
    recognized(m->type());
    uploads_.take(*m, from);
  } else if (auto m = PeerChainMessageReader().readJSON(*object)) {
    recognized(m->type());
    supervisor_.takeChain(*m, from);
  } else if (auto m = FileRequestResponseMessageReader().readJSON(*object)) {
    recognized(m->type());
    downloads_.takeResponse(*m, from);
  } else if (auto m = FileRequestStopMessageReader().readJSON(*object)) {
    recognized(m->type());
    uploads_.stop(*m, from);
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
    endAbonnementIf([&](const AbonnementPeer& a) { return a.peer.uuid == peer->uuid; },
                    "the connection to its peer was lost");
  if (peerConnectionController_)
    peerConnectionController_->receivedConnectionStateChange(client, state);
}

void PeerMessagesController::webRTCClient(WebRTCClient& client, const std::string& text) {
  const auto peer = environment_.peerWith(client);
  if (!peer) return;
  PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
    return "did receive message from " + peer->uuid.uuidString() + ": " + text;
  });
  didReceivedMessage(text, *peer);
}

void PeerMessagesController::webRTCClient(WebRTCClient& client, const Data& data) {
  const auto peer = environment_.peerWith(client);
  if (!peer) return;
  // A frame naming a request in progress is a segment frame, whatever its bytes: a frame that
  // happens to be valid UTF-8 (identifier and offset bytes below 0x80, a text payload) must
  // not be offered to the message readers first.
  if (downloads_.isReceiving(data)) {
    downloads_.takeFrame(data, *peer);
    return;
  }
  if (Utf8::isValid(data.view())) {
    const std::string text = data.toString();
    PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
      return "did receive message from " + peer->uuid.uuidString() + ": " + text;
    });
    if (didReceivedMessage(text, *peer)) return;
  }
  PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
    return "did receive data from " + peer->uuid.uuidString() +
           ": (Binary: " + std::to_string(data.size()) + " bytes)";
  });
  downloads_.takeFrame(data, *peer);
}

void PeerMessagesController::webRTCClient(WebRTCClient& client, int64_t size) {
  if (!analyticsService_) return;
  const auto peer = environment_.peerWith(client);
  analyticsService_->addDataSent(size, peer ? std::optional(peer->getPeerType()) : std::nullopt);
}

// ---- read-outs ---------------------------------------------------------------------------

size_t PeerMessagesController::pendingFileAvailabilityCount() const { return search_.count(); }

size_t PeerMessagesController::pendingFileRequestCount() const { return downloads_.count(); }

size_t PeerMessagesController::pendingUploadFileRequestCount() const { return uploads_.count(); }

size_t PeerMessagesController::uploadsInFlightTo(const Uuid& peer) const {
  return uploads_.inFlight(peer);
}

void PeerMessagesController::drainUploads() {
  if (uploadQueue_) uploadQueue_->drain();
}

}  // namespace ombrelia
