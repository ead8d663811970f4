#pragma once
// Any thread.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace ombrelia::platform {

// The threads under every dispatch queue. It starts a thread whenever work arrives and no
// thread is idle (up to kMaxWorkers), so blocks that wait on each other cannot starve the pool;
// threads idle for kIdleExit leave, down to kMinWorkers.
class WorkerPool {
 public:
  // Past this many threads, work waits for a free one; a block that waits for more than this
  // many others at once is a design fault, not a load.
  static constexpr size_t kMaxWorkers = 256;
  static constexpr size_t kMinWorkers = 2;

  static WorkerPool& shared();
  void submit(std::function<void()> work);

  size_t threadCount() const;

 private:
  WorkerPool() = default;
  void workerLoop();

  mutable std::mutex mutex_;
  std::condition_variable available_;
  std::deque<std::function<void()>> work_;
  size_t threads_ = 0;
  size_t idle_ = 0;
};

}  // namespace ombrelia::platform
