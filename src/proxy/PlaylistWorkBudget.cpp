#include "proxy/PlaylistWorkBudget.hpp"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "platform/DispatchQueue.hpp"
#include "platform/FreedMemory.hpp"
#include "proxy/PlaylistWork.hpp"

namespace ombrelia {

const std::shared_ptr<PlaylistWorkBudget>& PlaylistWorkBudget::shared() {
  // Never destroyed: a playlist may still be answered while the process exits.
  static auto* budget = new std::shared_ptr<PlaylistWorkBudget>(create(Settings{}));
  return *budget;
}

std::shared_ptr<PlaylistWorkBudget> PlaylistWorkBudget::create(Settings settings) {
  return std::shared_ptr<PlaylistWorkBudget>(new PlaylistWorkBudget(settings));
}

std::shared_ptr<PlaylistWork> PlaylistWorkBudget::begin(std::string origin) {
  return std::make_shared<PlaylistWork>(shared_from_this(), std::move(origin));
}

size_t PlaylistWorkBudget::originBytesInFlight(const std::string& origin) const {
  std::lock_guard lock(mutex_);
  const auto found = heldByOrigin_.find(origin);
  return found == heldByOrigin_.end() ? 0 : found->second;
}

size_t PlaylistWorkBudget::lastBodyBytes(const std::string& key) const {
  std::lock_guard lock(mutex_);
  for (const auto& [remembered, bytes] : lastBodyBytes_) {
    if (remembered == key) return bytes;
  }
  return 0;
}

void PlaylistWorkBudget::rememberBodyBytes(const std::string& key, size_t bytes) {
  std::lock_guard lock(mutex_);
  std::erase_if(lastBodyBytes_, [&key](const auto& entry) { return entry.first == key; });
  if (lastBodyBytes_.size() >= kMaxRememberedPlaylists) lastBodyBytes_.pop_front();
  lastBodyBytes_.emplace_back(key, bytes);
}

size_t PlaylistWorkBudget::bytesInFlight() const {
  std::lock_guard lock(mutex_);
  return used_;
}

size_t PlaylistWorkBudget::peakBytesInFlight() const {
  std::lock_guard lock(mutex_);
  return peak_;
}

size_t PlaylistWorkBudget::waitingWorks() const {
  std::lock_guard lock(mutex_);
  return waiters_.size();
}

void PlaylistWorkBudget::enter(PlaylistWork& work) {
  std::lock_guard lock(mutex_);
  work.sequence_ = nextSequence_++;
  live_.emplace(work.sequence_, &work);
}

void PlaylistWorkBudget::leave(PlaylistWork& work) {
  std::vector<Waiter> dropped;  // let go outside the lock: what they hold may end other works
  {
    std::lock_guard lock(mutex_);
    live_.erase(work.sequence_);
    for (auto it = waiters_.begin(); it != waiters_.end();) {
      if (it->work != &work) {
        ++it;
        continue;
      }
      dropped.push_back(std::move(*it));
      it = waiters_.erase(it);
    }
    subtractLocked(work, work.held_);
    // The stages of one large playlist run on several threads of the global queue, and each
    // thread's arena keeps what it freed: the most the work held is free now, though its answer
    // may have given all of it back piece by piece.
    platform::FreedMemory::giveBack(work.mostHeld_);
    work.held_ = 0;
  }
  // Another work may be the oldest now, or fit in what this one gave back.
  admitWaiters();
}

const PlaylistWork* PlaylistWorkBudget::oldestLocked() const {
  // An answer being written moves only as fast as its player reads: holding the oldest role,
  // a player reading slowly would keep every large playlist asked after it waiting.
  for (const auto& [sequence, work] : live_) {
    if (!work->answering_) return work;
  }
  return nullptr;
}

size_t PlaylistWorkBudget::beyondSharesLocked() const {
  size_t beyond = 0;
  for (const auto& [sequence, work] : live_) {
    if (work->answering_ && work->held_ > settings_.connectionShareBytes) {
      beyond += work->held_ - settings_.connectionShareBytes;
    }
  }
  return beyond;
}

bool PlaylistWorkBudget::admitsLocked(const PlaylistWork& work, size_t bytes) const {
  // Answers being written count in the budget the others share at most as their connections'
  // shares, and never hold the oldest role.
  const PlaylistWork* oldest = oldestLocked();
  const size_t beyondShares = beyondSharesLocked();
  // The oldest takes what it needs beside the budget the others share, while what answers
  // hold beyond their shares is within a budget's worth.
  if (oldest == nullptr || oldest == &work) return beyondShares <= settings_.maxBytes;
  if (!withinOriginShareLocked(work, bytes, *oldest)) return false;
  const size_t others = used_ - oldest->held_ - beyondShares;
  // Nothing asked still counts as a byte: a fetch starts only while there is room.
  const size_t after = others + std::max<size_t>(bytes, 1);
  const size_t forLarge = settings_.maxBytes > settings_.smallPlaylistReserve
                              ? settings_.maxBytes - settings_.smallPlaylistReserve
                              : 0;
  if (after <= forLarge) return true;
  return work.held_ + bytes <= settings_.maxSmallPlaylistBytes && after <= settings_.maxBytes;
}

bool PlaylistWorkBudget::withinOriginShareLocked(const PlaylistWork& work, size_t bytes,
                                                 const PlaylistWork& oldest) const {
  if (work.origin_.empty()) return true;
  const auto found = heldByOrigin_.find(work.origin_);
  const size_t held = found == heldByOrigin_.end() ? 0 : found->second;
  // The oldest holds beside the budget, so it is not counted against its origin's share either.
  const size_t oldestsPart = oldest.origin_ == work.origin_ ? oldest.held_ : 0;
  return held - oldestsPart + std::max<size_t>(bytes, 1) <= settings_.maxOriginBytes;
}

void PlaylistWorkBudget::subtractLocked(PlaylistWork& work, size_t bytes) {
  work.held_ -= bytes;
  used_ -= bytes;
  if (work.origin_.empty() || bytes == 0) return;
  auto found = heldByOrigin_.find(work.origin_);
  found->second -= bytes;
  if (found->second == 0) heldByOrigin_.erase(found);
}

void PlaylistWorkBudget::addLocked(PlaylistWork& work, size_t bytes) {
  if (!work.origin_.empty() && bytes > 0) heldByOrigin_[work.origin_] += bytes;
  work.held_ += bytes;
  work.mostHeld_ = std::max(work.mostHeld_, work.held_);
  used_ += bytes;
  peak_ = std::max(peak_, used_);
}

void PlaylistWorkBudget::give(PlaylistWork& work, size_t bytes) {
  {
    std::lock_guard lock(mutex_);
    bytes = std::min(bytes, work.held_);
    if (bytes == 0) return;
    subtractLocked(work, bytes);
  }
  // A stage that ends gives back what it held for a moment, from the arena of whichever thread
  // it ran on: the next stage, on another thread, would otherwise take as much again.
  platform::FreedMemory::giveBack(bytes);
  admitWaiters();
}

void PlaylistWorkBudget::admitWaiters() {
  std::vector<std::function<void()>> admitted;
  {
    std::lock_guard lock(mutex_);
    // In the order they came, each that fits now: a small playlist goes ahead of a large one
    // that still does not fit, and the large one goes once it is the oldest.
    for (auto it = waiters_.begin(); it != waiters_.end();) {
      if (!admitsLocked(*it->work, it->bytes)) {
        ++it;
        continue;
      }
      if (it->reserves) addLocked(*it->work, it->bytes);
      admitted.push_back(std::move(it->then));
      it = waiters_.erase(it);
    }
  }
  // Never on the thread that gave the bytes back: that may be a connection's or the HTTP
  // client's, and a stage may rewrite megabytes.
  for (auto& then : admitted) platform::DispatchQueue::global()->async(std::move(then));
}

}  // namespace ombrelia
