#include "platform/CancellationToken.hpp"

namespace ombrelia::platform {

std::shared_ptr<CancellationToken> CancellationToken::create() {
  return std::shared_ptr<CancellationToken>(new CancellationToken());
}

void CancellationToken::cancel() {
  std::vector<std::function<void()>> callbacks;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
    callbacks.swap(callbacks_);
  }
  for (auto& callback : callbacks) callback();
}

void CancellationToken::onCancel(std::function<void()> callback) {
  {
    std::lock_guard lock(mutex_);
    if (!cancelled_.load(std::memory_order_acquire)) {
      callbacks_.push_back(std::move(callback));
      return;
    }
  }
  callback();
}

}  // namespace ombrelia::platform
