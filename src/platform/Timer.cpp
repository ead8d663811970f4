#include "platform/Timer.hpp"

#include <mutex>

#include "platform/MonotonicClock.hpp"
#include "platform/Scheduler.hpp"

namespace ombrelia::platform {

struct Timer::State : std::enable_shared_from_this<Timer::State> {
  std::mutex mutex;
  bool valid = true;
  std::chrono::milliseconds interval{};
  bool repeats = true;
  std::shared_ptr<DispatchQueue> queue;
  std::shared_ptr<std::function<void()>> block;

  void arm(MonotonicClock::time_point deadline) {
    Scheduler::shared().schedule(deadline, [weak = weak_from_this(), deadline] {
      if (auto self = weak.lock())
        self->fire(deadline);
    });
  }

  void fire(MonotonicClock::time_point deadline) {
    std::shared_ptr<DispatchQueue> target;
    {
      std::lock_guard lock(mutex);
      if (!valid)
        return;
      target = queue;
      if (repeats) {
        // A timer that fell behind skips the missed firings rather than bursting.
        auto next = deadline + interval;
        const auto now = MonotonicClock::now();
        if (interval.count() > 0 && next + interval <= now)
          next = now + interval;
        arm(next);
      } else {
        valid = false;
      }
    }
    target->async([weak = weak_from_this()] {
      auto self = weak.lock();
      if (!self)
        return;
      std::shared_ptr<std::function<void()>> toRun;
      {
        std::lock_guard lock(self->mutex);
        // A one-shot timer is already marked invalid when its block is queued.
        if (!self->valid && self->repeats)
          return;
        toRun = self->block;
      }
      if (toRun && *toRun)
        (*toRun)();
    });
  }
};

std::shared_ptr<Timer> Timer::scheduled(Settings settings, std::function<void()> block) {
  auto state = std::make_shared<State>();
  state->interval =
      settings.interval.count() > 0 ? settings.interval : std::chrono::milliseconds(1);
  state->repeats = settings.repeats;
  state->queue = settings.queue ? settings.queue : DispatchQueue::main();
  state->block = std::make_shared<std::function<void()>>(std::move(block));
  state->arm(MonotonicClock::now() + state->interval);
  return std::shared_ptr<Timer>(new Timer(std::move(state)));
}

Timer::Timer(std::shared_ptr<State> state) : state_(std::move(state)) {}

Timer::~Timer() {
  invalidate();
}

void Timer::invalidate() {
  std::shared_ptr<std::function<void()>> released;
  {
    std::lock_guard lock(state_->mutex);
    state_->valid = false;
    released = std::move(state_->block);  // drops what the block captured, outside the lock
  }
}

bool Timer::isValid() const {
  std::lock_guard lock(state_->mutex);
  return state_->valid;
}

}  // namespace ombrelia::platform
