#include "peers/OmbreliaDecision.hpp"

#include <ombrelia/OmbreliaLogger.hpp>

#include "foundation/RepeatedLog.hpp"
#include "peers/IceCandidate.hpp"
#include "peers/PeerList.hpp"
#include "peers/PeerSelectionService.hpp"
#include "peers/SessionDescription.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/JsonReader.hpp"
#include "protocol/GroupResponseMessageReader.hpp"
#include "protocol/InitMessageReader.hpp"
#include "protocol/PeerConnectionMessageReader.hpp"
#include "protocol/TrackerListReader.hpp"
#include "protocol/TransferCandidateMessageReader.hpp"
#include "protocol/TransferDescriptionMessageReader.hpp"
#include "signalling/SignalingClient.hpp"
#include "signalling/WebSocketProvider.hpp"

namespace ombrelia {
namespace {

void decisionDebug(const std::string& message) {
  OmbreliaLogger::debug(message, OLogModule::signalClient);
}

bool decisionDebugEnabled() {
  return OmbreliaLogger::isEnabled(OLogLevel::debug, OLogModule::signalClient);
}

template <typename Item>
std::string describe(const std::vector<Item>& list) {
  std::string text = "[";
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0) text += ", ";
    text += list[i].uuid().uuidString();
  }
  return text + "]";
}

// The tracker may send a list before the identifier, or never send one, at every message.
void missingIdentity() {
  RepeatedLog::shared().logEachAtDebug(
      "tracker list before an identifier", RepeatedLog::kOtherParties,
      [] { return std::string("Assigned UUID is missing, somethign went wrong"); },
      OLogModule::signalClient, OLogLevel::error);
}

}  // namespace

std::shared_ptr<OmbreliaDecision> OmbreliaDecision::create(
    std::string videoID, std::string clientID, std::shared_ptr<SignalingClient> signalClient) {
  return create(std::move(videoID), std::move(clientID), std::move(signalClient),
                std::make_shared<PeerSelectionService>());
}

std::shared_ptr<OmbreliaDecision> OmbreliaDecision::create(
    std::string videoID, std::string clientID, std::shared_ptr<SignalingClient> signalClient,
    std::shared_ptr<PeerSelectionService> peerSelectionService) {
  auto decision = std::shared_ptr<OmbreliaDecision>(
      new OmbreliaDecision(std::move(videoID), std::move(clientID), std::move(signalClient),
                           std::move(peerSelectionService)));
  decision->signalClient_->setDelegate(decision);
  decision->signalClient_->connect();
  return decision;
}

OmbreliaDecision::OmbreliaDecision(std::string videoID, std::string clientID,
                                   std::shared_ptr<SignalingClient> signalClient,
                                   std::shared_ptr<PeerSelectionService> peerSelectionService)
    : videoID_(std::move(videoID)),
      clientID_(std::move(clientID)),
      signalClient_(std::move(signalClient)),
      peerSelectionService_(std::move(peerSelectionService)),
      peerOwner_(std::make_shared<PeerOwner>()) {}

std::optional<Uuid> OmbreliaDecision::uuid() const {
  std::lock_guard lock(mutex_);
  return uuid_;
}

void OmbreliaDecision::retirePeers() { PeerList::shared().retire(peerOwner_); }

bool OmbreliaDecision::signalingConnected() const {
  std::lock_guard lock(mutex_);
  return signalingConnected_;
}

void OmbreliaDecision::refreshGroupRequestIfNeeded(const Url&, const SegmentInfo& segmentInfo) {
  const auto peers = PeerList::shared().peers();
  {
    std::lock_guard lock(mutex_);
    if (!uuid_) return;
  }
  for (const auto& peer : peers) {
    if (peer.webRTCClient && peer.webRTCClient->isConnected()) return;
  }
  if (segmentInfo.type() == SegmentType::unknown) return;
  {
    // The test and the stamp are one step, so requests arriving together send one group
    // request; the monotonic clock keeps a clock change from stopping or hurrying the refresh.
    std::lock_guard lock(mutex_);
    if (!signalingConnected_) return;
    const auto now = platform::MonotonicClock::now();
    if (lastGroupRequestTimestamp_ &&
        std::chrono::duration<double>(now - *lastGroupRequestTimestamp_).count() <
            kMinimalTimeToRefreshGroup) {
      return;
    }
    if (peers.size() >= kMaxNumberOfConnectedPeersToRefreshGroup) return;
    lastGroupRequestTimestamp_ = now;
  }
  signalClient_->sendGroupRequest(segmentInfo.bandwidth(), segmentInfo.targetQuality(),
                                  segmentInfo.segmentNumber());
}

bool OmbreliaDecision::canTryP2P(const SegmentInfo& segmentInfo) const {
  if (segmentInfo.type() == SegmentType::unknown) return false;
  return !PeerList::shared().peers().empty();
}

void OmbreliaDecision::initMessage() { signalClient_->sendInit(videoID_, "", clientID_); }

void OmbreliaDecision::signalClientDidConnect(SignalingClient&) {
  decisionDebug("Client did connect");
  {
    std::lock_guard lock(mutex_);
    signalingConnected_ = true;
  }
  initMessage();
}

void OmbreliaDecision::signalClientDidDisconnect(SignalingClient&) {
  decisionDebug("Client did disconnect");
  {
    std::lock_guard lock(mutex_);
    signalingConnected_ = false;
  }
  // The transport spaces the attempts out: a tracker that closes at once is not hammered.
  signalClient_->connect();
}

void OmbreliaDecision::signalClient(SignalingClient&, const Data& data) {
  decisionDebug("Data received: " + std::to_string(data.size()) + " bytes");
}

void OmbreliaDecision::signalClient(SignalingClient& client, const std::string& message) {
  // The texts logged here can be a megabyte: they are built only when the line is written.
  const bool debugging = decisionDebugEnabled();
  if (debugging) decisionDebug("String received: " + message);
  // Parsed once for every reader: each would otherwise parse the whole text again.
  const auto object = platform::JsonReader::parse(message);
  if (!object) return;
  // Every reader is offered the text; a text two readers accept is acted on by both, in order.
  if (auto trackers = TrackerListReader().readJSON(*object)) {
    if (debugging) {
      std::string list;
      for (const auto& url : trackers->data()) list += (list.empty() ? "" : ", ") + url.toString();
      decisionDebug("Received tracker list: [" + list + "]");
    }
    client.webSocket()->setTrackerList(trackers->data());
  }
  if (auto init = InitMessageReader().readJSON(*object)) {
    decisionDebug("Received UUID: " + init->uuid().uuidString());
    {
      std::lock_guard lock(mutex_);
      uuid_ = init->uuid();
    }
    PeerList::shared().updatePersonalUUID(init->uuid());
  }
  if (auto group = GroupResponseMessageReader().readJSON(*object)) {
    if (debugging) decisionDebug("Group response update, list: " + describe(group->list()));
    const auto personal = uuid();
    if (!personal) {
      missingIdentity();
      return;
    }
    peerSelectionService_->updatePeersWithList(group->list(), *personal, peerOwner_);
  }
  if (auto connections = PeerConnectionMessageReader().readJSON(*object)) {
    if (debugging) decisionDebug("Peer Connection list: " + describe(connections->list()));
    const auto personal = uuid();
    if (!personal) {
      missingIdentity();
      return;
    }
    peerSelectionService_->updatePeersWithList(connections->list(), *personal);
  }
  if (auto transfer = TransferDescriptionMessageReader().readJSON(*object)) {
    decisionDebug("Type: " + transfer->type());
    decisionDebug("Received remote sdp");
    PeerList::shared().updateUserRemoteSdp(SessionDescription(*transfer), transfer->askingPeerID(),
                                           peerOwner_);
  }
  if (auto transfer = TransferCandidateMessageReader().readJSON(*object)) {
    decisionDebug("Type: " + transfer->type());
    decisionDebug("Received remote candidate");
    PeerList::shared().updateUserRemoteCandidate(IceCandidate(*transfer), transfer->askingPeerID());
  }
}

}  // namespace ombrelia
