#include "support/FakePeerConnection.hpp"

namespace ombrelia::test {

void FakePeerConnection::HeldTransports::hold(bool holding) {
  std::lock_guard lock(mutex_);
  holding_ = holding;
}

bool FakePeerConnection::HeldTransports::keep(std::function<void()>& report) {
  std::lock_guard lock(mutex_);
  if (!holding_) return false;
  kept_.push_back(std::move(report));
  return true;
}

void FakePeerConnection::HeldTransports::release() {
  std::vector<std::function<void()>> kept;
  {
    std::lock_guard lock(mutex_);
    kept.swap(kept_);
  }
  for (auto& report : kept) {
    if (report) report();
  }
}

FakePeerConnection::~FakePeerConnection() {
  if (held_ && held_->keep(gone_)) return;
  if (gone_) gone_();
}

void FakePeerConnection::refuseDescriptions(bool refusing) {
  std::lock_guard lock(mutex_);
  refusingDescriptions_ = refusing;
}

void FakePeerConnection::onTransportsGone(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  gone_ = std::move(callback);
}

std::vector<std::shared_ptr<FakeDataChannel>> FakePeerConnection::createdChannels() const {
  std::lock_guard lock(mutex_);
  return created_;
}

std::vector<std::string> FakePeerConnection::remoteDescriptions() const {
  std::lock_guard lock(mutex_);
  return remoteDescriptions_;
}

std::vector<std::pair<std::string, std::string>> FakePeerConnection::remoteCandidates() const {
  std::lock_guard lock(mutex_);
  return remoteCandidates_;
}

void FakePeerConnection::deliverLocalDescription(const std::string& sdp) {
  std::function<void(std::string)> callback;
  {
    std::lock_guard lock(mutex_);
    callback = description_;
  }
  if (callback) callback(sdp);
}

void FakePeerConnection::deliverLocalCandidate(const std::string& candidate,
                                               const std::string& mid) {
  std::function<void(std::string, std::string)> callback;
  {
    std::lock_guard lock(mutex_);
    callback = candidate_;
  }
  if (callback) callback(candidate, mid);
}

void FakePeerConnection::deliverDataChannel(std::shared_ptr<FakeDataChannel> channel) {
  std::function<void(std::shared_ptr<RTCDataChannel>)> callback;
  {
    std::lock_guard lock(mutex_);
    callback = channel_;
  }
  if (callback) callback(std::move(channel));
}

void FakePeerConnection::deliverState(datachannel::DCIceState state) {
  std::function<void(datachannel::DCIceState)> callback;
  {
    std::lock_guard lock(mutex_);
    callback = state_;
  }
  if (callback) callback(state);
}

void FakePeerConnection::onLocalDescription(std::function<void(std::string)> callback) {
  std::lock_guard lock(mutex_);
  description_ = std::move(callback);
}

void FakePeerConnection::onLocalCandidate(std::function<void(std::string, std::string)> callback) {
  std::lock_guard lock(mutex_);
  candidate_ = std::move(callback);
}

void FakePeerConnection::onDataChannel(
    std::function<void(std::shared_ptr<RTCDataChannel>)> callback) {
  std::lock_guard lock(mutex_);
  channel_ = std::move(callback);
}

void FakePeerConnection::onStateChange(std::function<void(datachannel::DCIceState)> callback) {
  std::lock_guard lock(mutex_);
  state_ = std::move(callback);
}

std::shared_ptr<RTCDataChannel> FakePeerConnection::createDataChannel(const std::string& label) {
  auto channel = std::make_shared<FakeDataChannel>(label);
  std::lock_guard lock(mutex_);
  created_.push_back(channel);
  return channel;
}

bool FakePeerConnection::setRemoteDescription(const std::string& sdp) {
  std::lock_guard lock(mutex_);
  if (refusingDescriptions_) return false;
  remoteDescriptions_.push_back(sdp);
  return true;
}

bool FakePeerConnection::addRemoteCandidate(const std::string& candidate, const std::string& mid) {
  std::lock_guard lock(mutex_);
  remoteCandidates_.emplace_back(candidate, mid);
  return true;
}

}  // namespace ombrelia::test
