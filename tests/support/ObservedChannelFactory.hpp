#pragma once
// Any thread: the wrapped framework's callback threads count, the test thread waits.

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "peers/PeerConnectionFactory.hpp"
#include "support/Waiter.hpp"

namespace ombrelia::test {

// Passes every connection of another factory through, and counts the open events of their
// channels once the client's own open callback has run, so a test can wait for clients to be
// connected instead of polling them.
class ObservedChannelFactory : public PeerConnectionFactory {
 public:
  explicit ObservedChannelFactory(std::shared_ptr<PeerConnectionFactory> inner);

  std::shared_ptr<RTCPeerConnection> create(const datachannel::DCConfiguration& config) override;
  size_t socketsFor(const datachannel::DCConfiguration& config) const override {
    return inner_->socketsFor(config);
  }
  // True once `count` channel open events have been handled, false at the bound.
  bool waitForOpenChannels(size_t count, std::chrono::milliseconds bound);
  // The framework's own connection behind the index-th one made (in order), while it lives: a
  // test can act on it as a peer that does more than the client would.
  std::shared_ptr<RTCPeerConnection> inner(size_t index) const;

 private:
  struct Counter {
    Waiter waiter;
    size_t opened = 0;  // guarded by waiter.mutex()
  };
  const std::shared_ptr<PeerConnectionFactory> inner_;
  mutable std::mutex mutex_;  // guards made_
  std::vector<std::weak_ptr<RTCPeerConnection>> made_;
  const std::shared_ptr<Counter> counter_ = std::make_shared<Counter>();
};

}  // namespace ombrelia::test
