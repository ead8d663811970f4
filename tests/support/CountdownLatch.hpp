#pragma once
// Any thread: countDown() from anywhere, wait from the test's thread.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "support/WaitScale.hpp"

namespace ombrelia::test {

// Waits, with a bound, for a number of events from other threads. Unlike std::latch it tells
// the waiter whether the events came in time and lets a test count past zero to catch extras.
class CountdownLatch {
 public:
  explicit CountdownLatch(size_t count) : remaining_(count) {}

  void countDown() {
    std::lock_guard lock(mutex_);
    ++events_;
    if (remaining_ > 0 && --remaining_ == 0) changed_.notify_all();
  }

  // True when the count reached zero within `timeout`.
  bool wait(std::chrono::milliseconds timeout = scaledWait(std::chrono::seconds(10))) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return remaining_ == 0; });
  }

  // Every countDown() so far, including those past zero.
  size_t events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  size_t remaining_;
  size_t events_ = 0;
};

}  // namespace ombrelia::test
