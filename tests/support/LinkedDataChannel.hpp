#pragma once
// Any thread: sends from anywhere; the other end receives them in order on a serial queue of
// its own, as a framework's callback thread would deliver them.

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "support/FakeDataChannel.hpp"
#include "support/Waiter.hpp"

namespace ombrelia::platform {
class DispatchQueue;
}

namespace ombrelia::test {

// One end of an in-process data channel: everything sent on it is recorded (as by
// FakeDataChannel) and delivered to the other end. The waiter is notified after each delivery,
// so a test can wait for what the receiving side does with a frame.
class LinkedDataChannel : public FakeDataChannel {
 public:
  static std::pair<std::shared_ptr<LinkedDataChannel>, std::shared_ptr<LinkedDataChannel>> link(
      std::shared_ptr<Waiter> waiter);

  bool sendText(const std::string& text) override;
  bool sendBinary(const Data& bytes) override;
  // Waits until every frame sent so far on this end has been delivered to the other.
  void drain();
  // From now on, binary frames past the first `accepted` are refused (false, not delivered),
  // as a full send buffer refuses them.
  void refuseBinaryAfter(size_t accepted);
  // Binary frames offered, refused ones included.
  size_t binaryAttempts() const;

 private:
  LinkedDataChannel(std::shared_ptr<Waiter> waiter);

  std::shared_ptr<Waiter> waiter_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  std::weak_ptr<LinkedDataChannel> other_;  // set once, in link()
  mutable std::mutex budgetMutex_;          // guards the two below
  std::optional<size_t> binaryBudget_;
  size_t binaryAttempts_ = 0;
};

}  // namespace ombrelia::test
