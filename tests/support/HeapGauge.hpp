#pragma once
// Any thread: bytesInUse() anywhere; a HeapGauge is started and read by the test thread.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

namespace ombrelia::test {

// The heap bytes the process holds, exactly as the allocator counts them (freed memory that a
// sanitizer keeps in quarantine is not counted), and a sampler of its peak while a test runs.
class HeapGauge {
 public:
  static size_t bytesInUse();

  // Samples every `period` from construction until peak() is read or the gauge goes.
  explicit HeapGauge(std::chrono::milliseconds period = std::chrono::milliseconds(2));
  ~HeapGauge();
  HeapGauge(const HeapGauge&) = delete;
  HeapGauge& operator=(const HeapGauge&) = delete;

  size_t baseline() const { return baseline_; }
  // The highest sample above the baseline so far.
  size_t peakGrowth() const;

 private:
  const size_t baseline_;
  std::atomic<size_t> peak_;
  std::atomic<bool> stop_{false};
  std::thread sampler_;
};

}  // namespace ombrelia::test
