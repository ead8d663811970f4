#include "platform/Semaphore.hpp"

namespace ombrelia::platform {

void Semaphore::signal() {
  std::lock_guard lock(mutex_);
  ++value_;
  signalled_.notify_one();
}

void Semaphore::wait() {
  std::unique_lock lock(mutex_);
  signalled_.wait(lock, [this] { return value_ > 0; });
  --value_;
}

bool Semaphore::waitUntil(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  if (!signalled_.wait_until(lock, deadline, [this] { return value_ > 0; }))
    return false;
  --value_;
  return true;
}

} // namespace ombrelia::platform
