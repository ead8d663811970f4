#include "support/LinkedDataChannel.hpp"

#include "platform/DispatchQueue.hpp"

namespace ombrelia::test {

std::pair<std::shared_ptr<LinkedDataChannel>, std::shared_ptr<LinkedDataChannel>>
LinkedDataChannel::link(std::shared_ptr<Waiter> waiter) {
  std::shared_ptr<LinkedDataChannel> a(new LinkedDataChannel(waiter));
  std::shared_ptr<LinkedDataChannel> b(new LinkedDataChannel(waiter));
  a->other_ = b;
  b->other_ = a;
  return {a, b};
}

LinkedDataChannel::LinkedDataChannel(std::shared_ptr<Waiter> waiter)
    : FakeDataChannel("P2P"),
      waiter_(std::move(waiter)),
      queue_(platform::DispatchQueue::create("linked data channel")) {}

bool LinkedDataChannel::sendText(const std::string& text) {
  FakeDataChannel::sendText(text);
  queue_->async([other = other_, waiter = waiter_, text] {
    if (auto end = other.lock()) end->deliverText(text);
    { std::lock_guard lock(waiter->mutex()); }
    waiter->notify();
  });
  return true;
}

bool LinkedDataChannel::sendBinary(const Data& bytes) {
  {
    std::lock_guard lock(budgetMutex_);
    ++binaryAttempts_;
    if (binaryBudget_) {
      if (*binaryBudget_ == 0) return false;
      --*binaryBudget_;
    }
  }
  FakeDataChannel::sendBinary(bytes);
  queue_->async([other = other_, waiter = waiter_, bytes] {
    if (auto end = other.lock()) end->deliverBinary(bytes);
    { std::lock_guard lock(waiter->mutex()); }
    waiter->notify();
  });
  return true;
}

void LinkedDataChannel::drain() { queue_->drain(); }

void LinkedDataChannel::refuseBinaryAfter(size_t accepted) {
  std::lock_guard lock(budgetMutex_);
  binaryBudget_ = accepted;
}

size_t LinkedDataChannel::binaryAttempts() const {
  std::lock_guard lock(budgetMutex_);
  return binaryAttempts_;
}

}  // namespace ombrelia::test
