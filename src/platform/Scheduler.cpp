#include "platform/Scheduler.hpp"

#include <atomic>

namespace ombrelia::platform {
namespace {
std::atomic<int64_t> clockOffsetNanos{0};
}

MonotonicClock::time_point MonotonicClock::now() {
  return std::chrono::steady_clock::now() +
         std::chrono::nanoseconds(clockOffsetNanos.load(std::memory_order_acquire));
}

void MonotonicClock::advance(duration by) {
  clockOffsetNanos.fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(by).count(),
                             std::memory_order_acq_rel);
  Scheduler::shared().runDue();
  Scheduler::shared().wake();
}

Scheduler& Scheduler::shared() {
  static Scheduler* scheduler = new Scheduler();  // lives until the process ends
  return *scheduler;
}

Scheduler::Scheduler() : thread_([this] { loop(); }) {
  thread_.detach();
}

void Scheduler::schedule(MonotonicClock::time_point deadline, std::function<void()> action) {
  {
    std::lock_guard lock(mutex_);
    entries_.emplace(deadline, std::move(action));
  }
  changed_.notify_all();
}

void Scheduler::wake() {
  changed_.notify_all();
}

void Scheduler::runDue() {
  std::lock_guard runLock(runMutex_);
  for (;;) {
    std::function<void()> action;
    {
      std::lock_guard lock(mutex_);
      if (entries_.empty() || entries_.begin()->first > MonotonicClock::now())
        return;
      action = std::move(entries_.begin()->second);
      entries_.erase(entries_.begin());
    }
    action();
  }
}

void Scheduler::loop() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (entries_.empty()) {
        changed_.wait(lock);
        continue;
      }
      const auto wait = entries_.begin()->first - MonotonicClock::now();
      if (wait > MonotonicClock::duration::zero()) {
        // Real time is what passes while waiting; a test advancing the clock wakes us.
        changed_.wait_for(lock, wait);
        continue;
      }
    }
    runDue();
  }
}

}  // namespace ombrelia::platform
