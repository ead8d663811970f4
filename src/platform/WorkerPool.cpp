#include "platform/WorkerPool.hpp"

#include <chrono>
#include <thread>

namespace ombrelia::platform {
namespace {
constexpr auto kIdleExit = std::chrono::seconds(10);
}

WorkerPool& WorkerPool::shared() {
  // Never destroyed: detached workers may still be finishing a block while the process exits.
  static WorkerPool* pool = new WorkerPool();
  return *pool;
}

void WorkerPool::submit(std::function<void()> work) {
  bool spawn = false;
  {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
    if (idle_ < work_.size() && threads_ < kMaxWorkers) {
      ++threads_;
      spawn = true;
    }
  }
  if (spawn) {
    std::thread([this] { workerLoop(); }).detach();
  } else {
    available_.notify_one();
  }
}

size_t WorkerPool::threadCount() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

void WorkerPool::workerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (work_.empty()) {
      ++idle_;
      bool woke = available_.wait_for(lock, kIdleExit, [this] { return !work_.empty(); });
      --idle_;
      if (!woke && threads_ > kMinWorkers) {
        --threads_;
        return;
      }
      continue;
    }
    auto work = std::move(work_.front());
    work_.pop_front();
    lock.unlock();
    work();
    work = nullptr;  // captured state is released outside the lock
    lock.lock();
  }
}

}  // namespace ombrelia::platform
