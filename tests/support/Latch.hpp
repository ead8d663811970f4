#pragma once
// Any thread.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "support/WaitScale.hpp"

namespace ombrelia::test {

// Counts events and lets a test wait for a number of them with a bound, instead of sleeping.
class Latch {
 public:
  void countDown(int n = 1) {
    // Notified under the lock: the waiter may destroy the latch as soon as it sees the count.
    std::lock_guard lock(mutex_);
    count_ += n;
    changed_.notify_all();
  }
  // True when at least `target` events arrived within the bound.
  bool waitFor(int target, std::chrono::milliseconds bound = scaledWait(std::chrono::seconds(10))) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return count_ >= target; });
  }
  int count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

}  // namespace ombrelia::test
