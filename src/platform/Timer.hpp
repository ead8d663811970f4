#pragma once
// Any thread: create, invalidate and destroy from anywhere; the block runs on the given queue.

#include <chrono>
#include <functional>
#include <memory>

#include "platform/DispatchQueue.hpp"

namespace ombrelia::platform {

// A timer that fires on a queue, once or repeatedly, until it is invalidated or destroyed.
// The owner keeps the shared pointer; dropping it cancels the timer, and a block that has not
// started by then never runs.
class Timer {
 public:
  struct Settings {
    std::chrono::milliseconds interval{1000};
    bool repeats = true;
    std::shared_ptr<DispatchQueue> queue;  // the main queue when empty
  };

  [[nodiscard]] static std::shared_ptr<Timer> scheduled(Settings settings,
                                                        std::function<void()> block);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void invalidate();
  bool isValid() const;

 private:
  struct State;
  explicit Timer(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace ombrelia::platform
