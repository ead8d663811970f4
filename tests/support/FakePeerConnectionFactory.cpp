#include "support/FakePeerConnectionFactory.hpp"

namespace ombrelia::test {

std::shared_ptr<RTCPeerConnection> FakePeerConnectionFactory::create(
    const datachannel::DCConfiguration& config) {
  std::lock_guard lock(mutex_);
  lastConfig_ = config;
  if (refusing_) return nullptr;
  auto connection = std::make_shared<FakePeerConnection>(held_);
  connection->refuseDescriptions(refusingDescriptions_);
  connections_.push_back(connection);
  return connection;
}

size_t FakePeerConnectionFactory::socketsFor(const datachannel::DCConfiguration&) const {
  std::lock_guard lock(mutex_);
  return sockets_;
}

void FakePeerConnectionFactory::setSockets(size_t sockets) {
  std::lock_guard lock(mutex_);
  sockets_ = sockets;
}

void FakePeerConnectionFactory::refuse(bool refusing) {
  std::lock_guard lock(mutex_);
  refusing_ = refusing;
}

void FakePeerConnectionFactory::refuseDescriptions(bool refusing) {
  std::lock_guard lock(mutex_);
  refusingDescriptions_ = refusing;
}

void FakePeerConnectionFactory::holdTransports(bool holding) { held_->hold(holding); }

void FakePeerConnectionFactory::releaseTransports() { held_->release(); }

std::vector<std::weak_ptr<FakePeerConnection>> FakePeerConnectionFactory::connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

std::shared_ptr<FakePeerConnection> FakePeerConnectionFactory::last() const {
  std::lock_guard lock(mutex_);
  return connections_.empty() ? nullptr : connections_.back().lock();
}

std::optional<datachannel::DCConfiguration> FakePeerConnectionFactory::lastConfig() const {
  std::lock_guard lock(mutex_);
  return lastConfig_;
}

}  // namespace ombrelia::test
