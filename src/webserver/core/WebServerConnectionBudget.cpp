#include "webserver/core/WebServerConnectionBudget.hpp"

namespace ombrelia {

bool WebServerConnectionBudget::tryTake(uint64_t bytes) {
  uint64_t held = held_.load(std::memory_order_relaxed);
  do {
    if (maxBytes_ != 0 && held + bytes > maxBytes_) return false;
  } while (!held_.compare_exchange_weak(held, held + bytes, std::memory_order_relaxed));
  return true;
}

// Each pass ends the one connection idle longest and frees all it held (at least a connection's
// own share, which is what a newcomer asks), so a newcomer ends only as many as it needs, and
// looks at one holder per connection ended plus the one that stops the search: the order is
// kept as connections move, never searched.
bool WebServerConnectionBudget::tryTakeOrEndIdle(uint64_t bytes) {
  if (tryTake(bytes)) return true;
  for (;;) {
    std::function<void()> notice;
    {
      std::lock_guard lock(orderMutex_);
      if (oldest_ == nullptr) return tryTake(bytes);
      lookedAt_.fetch_add(1, std::memory_order_relaxed);
      Holder& idlest = *oldest_;
      if (Clock::now() - idlest.since_ < minIdle_) return tryTake(bytes);
      unlinkLocked(idlest);
      idlest.waiting_ = false;
      idlest.ended_ = true;
      held_.fetch_sub(idlest.room_, std::memory_order_relaxed);
      idlest.room_ = 0;
      endedForRoom_.fetch_add(1, std::memory_order_relaxed);
      // Copied while the holder is sure to be alive: its connection unlinks it under this lock
      // before it goes.
      notice = idlest.onEnded;
    }
    if (notice) notice();
    if (tryTake(bytes)) return true;
  }
}

void WebServerConnectionBudget::give(uint64_t bytes) {
  held_.fetch_sub(bytes, std::memory_order_relaxed);
}

bool WebServerConnectionBudget::tryStartRefusal() {
  uint32_t refusing = refusing_.load(std::memory_order_relaxed);
  do {
    if (refusing >= kMaxRefusalsAtOnce) return false;
  } while (!refusing_.compare_exchange_weak(refusing, refusing + 1, std::memory_order_relaxed));
  return true;
}

void WebServerConnectionBudget::endRefusal() { refusing_.fetch_sub(1, std::memory_order_relaxed); }

void WebServerConnectionBudget::beginWaiting(Holder& holder, uint64_t room) {
  if (maxBytes_ == 0) return;
  std::lock_guard lock(orderMutex_);
  if (holder.ended_) return;
  if (holder.waiting_) unlinkLocked(holder);
  holder.waiting_ = true;
  holder.room_ = room;
  // Read under the lock, so that the order from oldest to newest is the order of the times.
  holder.since_ = Clock::now();
  appendLocked(holder);
}

bool WebServerConnectionBudget::progressed(Holder& holder) {
  if (maxBytes_ == 0) return true;
  std::lock_guard lock(orderMutex_);
  if (holder.ended_) return false;
  if (!holder.waiting_) return true;
  unlinkLocked(holder);
  holder.since_ = Clock::now();
  appendLocked(holder);
  return true;
}

bool WebServerConnectionBudget::endWaiting(Holder& holder) {
  if (maxBytes_ == 0) return true;
  std::lock_guard lock(orderMutex_);
  if (holder.ended_) return false;
  if (holder.waiting_) {
    unlinkLocked(holder);
    holder.waiting_ = false;
    holder.room_ = 0;
  }
  return true;
}

void WebServerConnectionBudget::unlinkLocked(Holder& holder) {
  (holder.older_ != nullptr ? holder.older_->newer_ : oldest_) = holder.newer_;
  (holder.newer_ != nullptr ? holder.newer_->older_ : newest_) = holder.older_;
  holder.older_ = nullptr;
  holder.newer_ = nullptr;
}

void WebServerConnectionBudget::appendLocked(Holder& holder) {
  holder.older_ = newest_;
  holder.newer_ = nullptr;
  (newest_ != nullptr ? newest_->newer_ : oldest_) = &holder;
  newest_ = &holder;
}

}  // namespace ombrelia
