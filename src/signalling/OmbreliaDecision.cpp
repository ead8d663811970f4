#include "signalling/OmbreliaDecision.hpp"

#include <ombrelia/OmbreliaLogger.hpp>

#include "signalling/PeerList.hpp"
#include "signalling/SignalingClient.hpp"
#include "webrtc/WebRTCClient.hpp"

namespace ombrelia {

std::shared_ptr<OmbreliaDecision>
OmbreliaDecision::create(std::string videoID, std::string clientID,
                         std::shared_ptr<SignalingClient> signalClient) {
  auto decision = std::shared_ptr<OmbreliaDecision>(
      new OmbreliaDecision(std::move(videoID), std::move(clientID), std::move(signalClient)));
  decision->signalClient_->setDelegate(decision);
  decision->signalClient_->connect();
  return decision;
}

OmbreliaDecision::OmbreliaDecision(std::string videoID, std::string clientID,
                                   std::shared_ptr<SignalingClient> signalClient)
    : videoID_(std::move(videoID)), clientID_(std::move(clientID)),
      signalClient_(std::move(signalClient)) {}

std::optional<std::string> OmbreliaDecision::uuid() const {
  std::lock_guard lock(mutex_);
  return uuid_;
}

void OmbreliaDecision::refreshGroupRequestIfNeeded(const Url&, const SegmentInfo& segmentInfo) {
  const auto peers = PeerList::shared().peers();
  {
    std::lock_guard lock(mutex_);
    if (!uuid_)
      return;
  }
  for (const auto& peer : peers) {
    if (peer.webRTCClient && peer.webRTCClient->isConnected())
      return;
  }
  if (segmentInfo.type() == SegmentType::unknown)
    return;
  {
    // The test and the stamp are one step, so requests arriving together send one group
    // request; the monotonic clock keeps a clock change from stopping or hurrying the refresh.
    std::lock_guard lock(mutex_);
    if (!signalingConnected_)
      return;
    const auto now = platform::MonotonicClock::now();
    if (lastGroupRequestTimestamp_ &&
        std::chrono::duration<double>(now - *lastGroupRequestTimestamp_).count() <
            kMinimalTimeToRefreshGroup) {
      return;
    }
    if (peers.size() >= kMaxNumberOfConnectedPeersToRefreshGroup)
      return;
    lastGroupRequestTimestamp_ = now;
  }
  signalClient_->sendGroupRequest(segmentInfo.bandwidth(), segmentInfo.targetQuality(),
                                  segmentInfo.segmentNumber());
}

bool OmbreliaDecision::canTryP2P(const SegmentInfo& segmentInfo) const {
  if (segmentInfo.type() == SegmentType::unknown)
    return false;
  return !PeerList::shared().peers().empty();
}

void OmbreliaDecision::initMessage() {
  signalClient_->sendInit(videoID_, "", clientID_);
}

void OmbreliaDecision::signalClientDidConnect(SignalingClient&) {
  OmbreliaLogger::debug("Client did connect", OLogModule::signalClient);
  {
    std::lock_guard lock(mutex_);
    signalingConnected_ = true;
  }
  initMessage();
}

void OmbreliaDecision::signalClientDidDisconnect(SignalingClient&) {
  OmbreliaLogger::debug("Client did disconnect", OLogModule::signalClient);
  {
    std::lock_guard lock(mutex_);
    signalingConnected_ = false;
  }
  signalClient_->connect();
}

void OmbreliaDecision::signalClient(SignalingClient&, const Data& data) {
  OmbreliaLogger::debug("Data received: " + std::to_string(data.size()) + " bytes",
                        OLogModule::signalClient);
}

void OmbreliaDecision::signalClient(SignalingClient&, const std::string& message) {
  OmbreliaLogger::debug("String received: " + message, OLogModule::signalClient);
}

}  // namespace ombrelia
