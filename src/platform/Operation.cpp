#include "platform/Operation.hpp"

#include <utility>

namespace ombrelia::platform {

void Operation::start() {
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::ready)
      return;
    state_ = State::executing;
  }
  if (!isCancelled())
    main();
  CompletionBlock completion;
  {
    std::lock_guard lock(mutex_);
    state_ = State::finished;
    completion = std::move(completionBlock_);
    completionBlock_ = nullptr;
  }
  if (completion)
    completion();
}

bool Operation::isReady() const {
  std::lock_guard lock(mutex_);
  return state_ == State::ready;
}

bool Operation::isExecuting() const {
  std::lock_guard lock(mutex_);
  return state_ == State::executing;
}

bool Operation::isFinished() const {
  std::lock_guard lock(mutex_);
  return state_ == State::finished;
}

void Operation::setCompletionBlock(CompletionBlock block) {
  std::lock_guard lock(mutex_);
  // Too late once finished: the block would never run.
  if (state_ != State::finished)
    completionBlock_ = std::move(block);
}

} // namespace ombrelia::platform
