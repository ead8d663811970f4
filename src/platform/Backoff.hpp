#pragma once
// Not thread-safe: its owner serialises the calls (under its own lock).

#include <chrono>
#include <cstdint>
#include <random>

namespace ombrelia::platform {

// The waits between retries of one operation: the first retry at once, then exponential growth
// with random jitter, capped. Every reconnecting component shares it so that no failure mode can
// turn into a tight loop.
class Backoff {
 public:
  struct Settings {
    std::chrono::milliseconds initialDelay{500};  // the wait before the second retry
    std::chrono::milliseconds maxDelay{30000};
    double multiplier = 2.0;
    // Each wait is drawn from [delay * (1 - jitter), delay], so clients that failed together do
    // not retry together.
    double jitter = 0.5;
  };

  Backoff() : Backoff(Settings{}) {}
  explicit Backoff(Settings settings);

  // The wait before the next retry; each call counts one retry.
  std::chrono::milliseconds nextDelay();
  // Back to an immediate first retry, after an attempt that succeeded well enough.
  void reset() { retries_ = 0; }
  uint32_t retries() const { return retries_; }
  const Settings& settings() const { return settings_; }

 private:
  Settings settings_;
  uint32_t retries_ = 0;
  std::minstd_rand random_;
};

}  // namespace ombrelia::platform
