#pragma once
// Any thread.

#include <chrono>

namespace ombrelia::platform {

// The library's monotonic clock: the steady clock plus an offset that tests can advance, so
// timers, delayed blocks and interval checks can be driven without sleeping.
class MonotonicClock {
 public:
  using duration = std::chrono::steady_clock::duration;
  using time_point = std::chrono::steady_clock::time_point;

  static time_point now();
  // Test hook: moves the library's time forward and fires every timer and delayed block that
  // falls due. Real time keeps running as well.
  static void advance(duration by);
};

}  // namespace ombrelia::platform
