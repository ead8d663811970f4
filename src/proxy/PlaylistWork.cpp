#include "proxy/PlaylistWork.hpp"

#include <algorithm>
#include <vector>

#include "proxy/PlaylistWorkBudget.hpp"

namespace ombrelia {

PlaylistWork::PlaylistWork(std::shared_ptr<PlaylistWorkBudget> budget, std::string origin)
    : budget_(std::move(budget)), origin_(std::move(origin)) {
  budget_->enter(*this);
}

PlaylistWork::~PlaylistWork() { budget_->leave(*this); }

void PlaylistWork::hold(size_t bytes, std::function<void()> then) {
  {
    std::lock_guard lock(budget_->mutex_);
    if (!budget_->admitsLocked(*this, bytes)) {
      budget_->enqueueLocked(*this, bytes, true, std::move(then));
      return;
    }
    budget_->addLocked(*this, bytes);
  }
  then();
}

bool PlaylistWork::tryHold(size_t bytes, std::function<void()> retry) {
  std::lock_guard lock(budget_->mutex_);
  if (budget_->admitsLocked(*this, bytes)) {
    budget_->addLocked(*this, bytes);
    return true;
  }
  budget_->enqueueLocked(*this, bytes, false, std::move(retry));
  return false;
}

void PlaylistWork::holdExactly(size_t bytes) {
  size_t less = 0;
  {
    std::lock_guard lock(budget_->mutex_);
    if (bytes >= held_) {
      budget_->addLocked(*this, bytes - held_);
      return;
    }
    less = held_ - bytes;
  }
  budget_->give(*this, less);
}

void PlaylistWork::release(size_t bytes) { budget_->give(*this, bytes); }

void PlaylistWork::stopWaiting() {
  std::function<void()> pending;
  {
    std::lock_guard lock(budget_->mutex_);
    if (auto waiter = budget_->dequeueLocked(*this)) pending = std::move(waiter->then);
  }
  if (pending) pending();
}

void PlaylistWork::stopWaitingOnceCancelled(
    const std::shared_ptr<platform::CancellationToken>& cancellation) {
  if (!cancellation) return;
  cancellation->onCancel([weak = weak_from_this()] {
    if (auto waiting = weak.lock()) waiting->stopWaiting();
  });
}

void PlaylistWork::beginAnswer() {
  {
    std::lock_guard lock(budget_->mutex_);
    if (answering_) return;
    budget_->beginAnswerLocked(*this);
  }
  // Another work may hold the oldest role now, or fit in what no longer counts.
  budget_->admitWaiters();
}

void PlaylistWork::progressed(size_t bytes) {
  const uint64_t before = progress_.fetch_add(bytes, std::memory_order_relaxed);
  const uint64_t window = budget_->window_.load(std::memory_order_relaxed);
  // Not watched, or it has moved its share in this window already: nothing more to tell.
  if (metWindowHint_.load(std::memory_order_relaxed) >= window) return;
  // Its first move in this window: what it had moved before is where the window began for it.
  if (sampleWindow_.load(std::memory_order_relaxed) != window) {
    sample_.store(before, std::memory_order_relaxed);
    sampleWindow_.store(window, std::memory_order_release);
  }
  if (before + bytes - sample_.load(std::memory_order_relaxed) >= budget_->leastPerWindow_) {
    budget_->met(*this, window);
  }
}

void PlaylistWork::awaitConnection(bool awaiting) {
  if (awaitingConnection_.exchange(awaiting, std::memory_order_relaxed) == awaiting) return;
  std::lock_guard lock(budget_->mutex_);
  budget_->watchLocked(*this);
}

void PlaylistWork::endWhileOthersWait(std::function<void()> end) {
  std::lock_guard lock(budget_->mutex_);
  budget_->setEndLocked(*this, std::move(end));
}

size_t PlaylistWork::held() const {
  std::lock_guard lock(budget_->mutex_);
  return held_;
}

}  // namespace ombrelia
