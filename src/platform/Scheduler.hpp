#pragma once
// Any thread: one thread of its own waits for deadlines and runs the due actions.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/MonotonicClock.hpp"

namespace ombrelia::platform {

// Runs short actions at deadlines of the library's monotonic clock. Actions must only hand work
// to a queue: they run on the scheduler's thread (or, when a test advances the clock, on the
// test's thread).
class Scheduler {
 public:
  static Scheduler& shared();

  void schedule(MonotonicClock::time_point deadline, std::function<void()> action);
  // Runs every action due at the current time, on the calling thread, including those that the
  // actions themselves schedule into the past. Used when the clock is advanced.
  void runDue();
  void wake();

 private:
  Scheduler();
  void loop();

  std::mutex mutex_;
  std::condition_variable changed_;
  // Ordered by deadline, then by the order of scheduling.
  std::multimap<MonotonicClock::time_point, std::function<void()>> entries_;
  std::mutex runMutex_;  // one runner at a time keeps due actions in deadline order
  std::thread thread_;
};

}  // namespace ombrelia::platform
