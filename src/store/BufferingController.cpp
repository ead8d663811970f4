#include "store/BufferingController.hpp"

#include <utility>

namespace ombrelia {

BufferingController& BufferingController::shared() {
  // Never destroyed: request threads may still ask it while the process exits.
  static auto* controller = new BufferingController();
  return *controller;
}

std::shared_ptr<BufferingControllerDelegate> BufferingController::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

void BufferingController::setDelegate(std::shared_ptr<BufferingControllerDelegate> delegate) {
  std::shared_ptr<BufferingControllerDelegate> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::exchange(delegate_, std::move(delegate));
  }
  // The previous delegate may be released here, outside the lock, in case its destructor asks us.
}

bool BufferingController::bufferingIsOk() const {
  const auto length = getBufferLength();
  if (!length) return false;
  // A NaN from the delegate compares false and so reads as unhealthy.
  return kHealthySegmentFraction * kSegmentDurationSeconds < *length;
}

std::optional<double> BufferingController::getBufferLength() const {
  // The delegate answers outside the lock: it is application code and may be slow or call back.
  const auto current = delegate();
  if (!current) return std::nullopt;
  return current->getPrebufferingDuration();
}

}  // namespace ombrelia
