#include "support/FakePeerConnection.hpp"

namespace ombrelia::test {

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
  remoteDescriptions_.push_back(sdp);
  return true;
}

bool FakePeerConnection::addRemoteCandidate(const std::string& candidate, const std::string& mid) {
  std::lock_guard lock(mutex_);
  remoteCandidates_.emplace_back(candidate, mid);
  return true;
}

}  // namespace ombrelia::test
