#pragma once
// Any thread: signal() from any thread, the waits block the calling thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ombrelia::platform {

// A counting semaphore whose wait can give up at a deadline. Deadlines are on the steady
// clock: a wall-clock jump must not shorten or stretch a caller's wait.
class Semaphore {
public:
  using Clock = std::chrono::steady_clock;

  explicit Semaphore(int64_t initialValue = 0) : value_(initialValue) {}
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void signal();
  void wait();
  // True when a signal was taken before the deadline; false when the deadline passed first.
  bool waitUntil(Clock::time_point deadline);

private:
  std::mutex mutex_;
  std::condition_variable signalled_;
  int64_t value_;
};

} // namespace ombrelia::platform
