#pragma once
// Any thread: notify() from callbacks, waitFor() from the test thread.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace ombrelia::test {

// Lets a test wait, with a bound, for state that callbacks on other threads change. Change the
// state while holding mutex(), then call notify().
class Waiter {
 public:
  std::mutex& mutex() { return mutex_; }
  void notify() { changed_.notify_all(); }

  // True once the predicate holds (checked under the lock), false at the timeout.
  template <typename Predicate>
  bool waitFor(std::chrono::milliseconds timeout, Predicate predicate) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, predicate);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
};

}  // namespace ombrelia::test
