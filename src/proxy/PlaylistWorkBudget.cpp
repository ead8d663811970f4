#include "proxy/PlaylistWorkBudget.hpp"

#include <ombrelia/OmbreliaLogger.hpp>

#include <algorithm>
#include <cstdlib>
#include <iterator>
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
  return smallWaiters_.size() + largeWaiters_.size();
}

uint64_t PlaylistWorkBudget::admissionChecks() const {
  std::lock_guard lock(mutex_);
  return admissionChecks_;
}

uint64_t PlaylistWorkBudget::progressChecks() const {
  std::lock_guard lock(mutex_);
  return progressChecks_;
}

void PlaylistWorkBudget::enter(PlaylistWork& work) {
  std::lock_guard lock(mutex_);
  work.sequence_ = nextSequence_++;
  working_.emplace(work.sequence_, &work);
}

void PlaylistWorkBudget::leave(PlaylistWork& work) {
  std::optional<Waiter> dropped;  // let go outside the lock: what it holds may end other works
  {
    std::lock_guard lock(mutex_);
    working_.erase(work.sequence_);
    dropped = dequeueLocked(work);
    unwatchLocked(work);
    subtractLocked(work, work.held_);
    // The stages of one large playlist run on several threads of the global queue, and each
    // thread's arena keeps what it freed: the most the work held is free now, though its answer
    // may have given all of it back piece by piece.
    platform::FreedMemory::giveBack(work.mostHeld_);
    work.held_ = 0;
  }
  dropped.reset();
  // Another work may be the oldest now, or fit in what this one gave back.
  admitWaiters();
}

void PlaylistWorkBudget::beginAnswerLocked(PlaylistWork& work) {
  work.answering_ = true;
  working_.erase(work.sequence_);
  beyondShares_ += beyondShare(work.held_);
  answersHeld_ += work.held_;
}

void PlaylistWorkBudget::setEndLocked(PlaylistWork& work, std::function<void()> end) {
  work.end_ = std::move(end);
  // Measured from now: what it moved before it could be ended does not count.
  unwatchLocked(work);
  work.slowWindows_ = 0;
  watchLocked(work);
  placeWaitingHolderLocked(work);
}

void PlaylistWorkBudget::placeWaitingHolderLocked(PlaylistWork& work) {
  // What it holds does not change while it waits: a work runs one stage at a time.
  const bool holder = work.waiting_ && work.end_ && work.held_ > 0;
  if (holder == work.waitingHolder_) return;
  work.waitingHolder_ = holder;
  if (holder) {
    waitingHolders_.emplace(work.waiterKey_, &work);
  } else {
    waitingHolders_.erase(work.waiterKey_);
  }
}

void PlaylistWorkBudget::watchLocked(PlaylistWork& work) {
  const bool watched =
      work.end_ && !work.waiting_ && !work.awaitingConnection_.load(std::memory_order_relaxed);
  if (!watched) {
    unwatchLocked(work);
    return;
  }
  if (work.watched_) return;
  work.watched_ = true;
  // Measured from the next window on: a part of one would make it look slow.
  const uint64_t window = window_.load(std::memory_order_relaxed);
  work.metWindow_ = window;
  work.metWindowHint_.store(window, std::memory_order_relaxed);
  // A window spent waiting for room or a connection neither counts nor clears; one of an
  // earlier wait for room, by another work, no longer counts.
  if (work.slowWindows_ > 0 && work.lastSlowWindow_ >= firstWindowOfWait_) {
    work.lastSlowWindow_ = window;
  } else {
    work.slowWindows_ = 0;
  }
  behind_.emplace(std::make_pair(window, work.sequence_), &work);
}

void PlaylistWorkBudget::unwatchLocked(PlaylistWork& work) {
  if (!work.watched_) return;
  work.watched_ = false;
  work.metWindowHint_.store(PlaylistWork::kNotWatched, std::memory_order_relaxed);
  behind_.erase(std::make_pair(work.metWindow_, work.sequence_));
}

void PlaylistWorkBudget::met(PlaylistWork& work, uint64_t window) {
  std::lock_guard lock(mutex_);
  // A window that has ended since, or one it was counted in already.
  if (!work.watched_ || window != window_.load(std::memory_order_relaxed) ||
      work.metWindow_ >= window) {
    return;
  }
  behind_.erase(std::make_pair(work.metWindow_, work.sequence_));
  work.metWindow_ = window;
  work.metWindowHint_.store(window, std::memory_order_relaxed);
  work.slowWindows_ = 0;
  behind_.emplace(std::make_pair(window, work.sequence_), &work);
}

const PlaylistWork* PlaylistWorkBudget::oldestLocked() const {
  // An answer being written moves only as fast as its player reads: holding the oldest role,
  // a player reading slowly would keep every large playlist asked after it waiting.
  return working_.empty() ? nullptr : working_.begin()->second;
}

PlaylistWorkBudget::Admission PlaylistWorkBudget::admissionLocked(const PlaylistWork& work,
                                                                  size_t bytes) const {
  // Answers being written count in the budget the others share at most as their connections'
  // shares, and never hold the oldest role.
  const PlaylistWork* oldest = oldestLocked();
  // The oldest takes what it needs beside the budget the others share, while what answers hold
  // in all is within a budget's worth: answers each within its connection's share are as many
  // as players ask, and would otherwise let one playlist after another be taken past it.
  if (oldest == nullptr || oldest == &work) {
    return answersHeld_ <= settings_.maxBytes ? Admission::admitted : Admission::budgetFull;
  }
  if (!withinOriginShareLocked(work, bytes, oldest)) return Admission::originFull;
  const size_t others = used_ - oldest->held_ - beyondShares_;
  // Nothing asked still counts as a byte: a fetch starts only while there is room.
  const size_t after = others + std::max<size_t>(bytes, 1);
  const size_t forLarge = settings_.maxBytes > settings_.smallPlaylistReserve
                              ? settings_.maxBytes - settings_.smallPlaylistReserve
                              : 0;
  if (after <= forLarge) return Admission::admitted;
  if (work.held_ + bytes <= settings_.maxSmallPlaylistBytes && after <= settings_.maxBytes) {
    return Admission::admitted;
  }
  return Admission::budgetFull;
}

bool PlaylistWorkBudget::withinOriginShareLocked(const PlaylistWork& work, size_t bytes,
                                                 const PlaylistWork* oldest) const {
  if (work.origin_.empty()) return true;
  const auto found = heldByOrigin_.find(work.origin_);
  const size_t held = found == heldByOrigin_.end() ? 0 : found->second;
  // The oldest holds beside the budget, so it is not counted against its origin's share either.
  const size_t oldestsPart =
      oldest != nullptr && oldest->origin_ == work.origin_ ? oldest->held_ : 0;
  return held - oldestsPart + std::max<size_t>(bytes, 1) <= settings_.maxOriginBytes;
}

void PlaylistWorkBudget::subtractLocked(PlaylistWork& work, size_t bytes) {
  if (work.answering_) {
    beyondShares_ -= beyondShare(work.held_) - beyondShare(work.held_ - bytes);
    answersHeld_ -= bytes;
  }
  work.held_ -= bytes;
  used_ -= bytes;
  if (work.origin_.empty() || bytes == 0) return;
  auto found = heldByOrigin_.find(work.origin_);
  found->second -= bytes;
  if (found->second == 0) heldByOrigin_.erase(found);
}

void PlaylistWorkBudget::addLocked(PlaylistWork& work, size_t bytes) {
  if (!work.origin_.empty() && bytes > 0) heldByOrigin_[work.origin_] += bytes;
  if (work.answering_) {
    beyondShares_ += beyondShare(work.held_ + bytes) - beyondShare(work.held_);
    answersHeld_ += bytes;
  }
  work.held_ += bytes;
  work.mostHeld_ = std::max(work.mostHeld_, work.held_);
  used_ += bytes;
  peak_ = std::max(peak_, used_);
}

void PlaylistWorkBudget::enqueueLocked(PlaylistWork& work, size_t bytes, bool reserves,
                                       std::function<void()> then) {
  // A work runs one stage at a time, so it waits for one thing at most.
  work.waitingSmall_ = work.held_ + bytes <= settings_.maxSmallPlaylistBytes;
  work.waiterKey_ = nextWaiter_++;
  work.waiting_ = true;
  (work.waitingSmall_ ? smallWaiters_ : largeWaiters_)
      .emplace(work.waiterKey_, Waiter{&work, bytes, reserves, std::move(then)});
  unwatchLocked(work);
  placeWaitingHolderLocked(work);
  watchProgressLocked(true);
}

std::optional<PlaylistWorkBudget::Waiter> PlaylistWorkBudget::dequeueLocked(PlaylistWork& work) {
  if (!work.waiting_) return std::nullopt;
  work.waiting_ = false;
  watchLocked(work);
  placeWaitingHolderLocked(work);
  auto& queue = work.waitingSmall_ ? smallWaiters_ : largeWaiters_;
  auto found = queue.find(work.waiterKey_);
  if (found == queue.end()) return std::nullopt;
  Waiter waiter = std::move(found->second);
  queue.erase(found);
  return waiter;
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

void PlaylistWorkBudget::admitFromLocked(std::map<uint64_t, Waiter>& queue,
                                         std::vector<std::function<void()>>& admitted) {
  const PlaylistWork* oldest = oldestLocked();
  for (auto it = queue.begin(); it != queue.end();) {
    // Its own rule, asked first: refused, it does not stop those after it.
    if (it->second.work == oldest) {
      ++it;
      continue;
    }
    ++admissionChecks_;
    const Admission admission = admissionLocked(*it->second.work, it->second.bytes);
    if (admission == Admission::budgetFull) return;  // those after it would not fit either
    if (admission == Admission::originFull) {
      ++it;
      continue;
    }
    Waiter& waiter = it->second;
    // A fetch let in for a piece while holding room has not moved the wait on: it takes the
    // piece and waits again, as those it holds up do.
    if (!waiter.work->waitingHolder_) lastAdmittedWindow_ = window_.load(std::memory_order_relaxed);
    waiter.work->waiting_ = false;
    watchLocked(*waiter.work);
    placeWaitingHolderLocked(*waiter.work);
    if (waiter.reserves) addLocked(*waiter.work, waiter.bytes);
    admitted.push_back(std::move(waiter.then));
    it = queue.erase(it);
  }
}

void PlaylistWorkBudget::admitWaiters() {
  std::vector<std::function<void()>> admitted;
  {
    std::lock_guard lock(mutex_);
    // The oldest first, wherever it stands: it takes what it needs beside the budget.
    if (const PlaylistWork* oldest = oldestLocked(); oldest != nullptr && oldest->waiting_) {
      auto* work = const_cast<PlaylistWork*>(oldest);
      ++admissionChecks_;
      auto& queue = work->waitingSmall_ ? smallWaiters_ : largeWaiters_;
      auto found = queue.find(work->waiterKey_);
      if (found != queue.end() && admitsLocked(*work, found->second.bytes)) {
        auto waiter = dequeueLocked(*work);
        if (waiter->reserves) addLocked(*work, waiter->bytes);
        admitted.push_back(std::move(waiter->then));
        lastAdmittedWindow_ = window_.load(std::memory_order_relaxed);
      }
    }
    // In the order they came, each that fits now: a small playlist goes ahead of a large one
    // that still does not fit, and the large one goes once it is the oldest. Within a queue, the
    // first refused for room stops the pass: the budget is what the others wait for too.
    admitFromLocked(largeWaiters_, admitted);
    admitFromLocked(smallWaiters_, admitted);
  }
  // Never on the thread that gave the bytes back: that may be a connection's or the HTTP
  // client's, and a stage may rewrite megabytes.
  for (auto& then : admitted) platform::DispatchQueue::global()->async(std::move(then));
}

const PlaylistWorkBudget::Waiter* PlaylistWorkBudget::firstWaiterLocked() const {
  const Waiter* first = nullptr;
  for (const auto* queue : {&largeWaiters_, &smallWaiters_}) {
    if (!queue->empty() && (first == nullptr || queue->begin()->first < first->work->waiterKey_))
      first = &queue->begin()->second;
  }
  return first;
}

void PlaylistWorkBudget::watchProgressLocked(bool newEpisode) {
  if (sweepScheduled_) return;
  sweepScheduled_ = true;
  // A window begins: every watched work is to move its share in it anew, told by its own moves
  // (PlaylistWork::progressed), so that no work is looked at for it now. Slow windows of an
  // earlier wait do not follow on from this one's.
  const uint64_t window =
      window_.fetch_add(newEpisode ? 2 : 1, std::memory_order_relaxed) + (newEpisode ? 2 : 1);
  if (newEpisode) {
    firstWindowOfWait_ = window;
    stillWindows_ = 0;
  }
  platform::DispatchQueue::global()->asyncAfter(settings_.progressWindow,
                                                [weak = weak_from_this()] {
                                                  if (auto budget = weak.lock()) budget->sweep();
                                                });
}

void PlaylistWorkBudget::sweep() {
  std::vector<std::function<void()>> ends;
  {
    std::lock_guard lock(mutex_);
    sweepScheduled_ = false;
    const Waiter* first = firstWaiterLocked();
    // Nobody waits: nobody is held to a rate, and the next wait counts slow windows anew.
    if (first == nullptr) return;
    const uint64_t window = window_.load(std::memory_order_relaxed);
    // The wait got nowhere in the window that ends: no waiter was let in, and the oldest is not
    // running a stage, which ends on its own and gives its room back (a large playlist's
    // rewriting may take seconds on a busy device while the others wait for it).
    const PlaylistWork* oldest = oldestLocked();
    const bool oldestInStage = oldest != nullptr && !oldest->end_ && !oldest->waiting_;
    stillWindows_ = lastAdmittedWindow_ >= window || oldestInStage ? 0 : stillWindows_ + 1;
    // Those that moved their share in the window that ends are past these, and not looked at.
    std::vector<std::pair<uint64_t, PlaylistWork*>> slow;  // moved over the window, the work
    for (auto it = behind_.begin(); it != behind_.end() && it->first.first < window; ++it) {
      ++progressChecks_;
      PlaylistWork* work = it->second;
      const uint64_t now = work->progress_.load(std::memory_order_relaxed);
      const uint64_t moved = work->sampleWindow_.load(std::memory_order_acquire) == window
                                 ? now - work->sample_.load(std::memory_order_relaxed)
                                 : 0;
      if (moved >= leastPerWindow_) {
        work->slowWindows_ = 0;  // its move is being told
      } else if (work->held_ > 0) {
        work->slowWindows_ = work->lastSlowWindow_ + 1 == window ? work->slowWindows_ + 1 : 1;
        work->lastSlowWindow_ = window;
        if (work->slowWindows_ >= settings_.slowWindowsBeforeEnding) {
          slow.emplace_back(moved, work);
        }
      }
    }
    std::sort(slow.begin(), slow.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first < b.first : a.second->sequence_ < b.second->sequence_;
    });
    // The least progress first, until what they hold would let the first waiter in; the works
    // are let go as their fetches or connections end, on their own threads.
    size_t need = std::max<size_t>(first->bytes, 1);
    if (first->work == oldestLocked() && answersHeld_ > settings_.maxBytes) {
      need = answersHeld_ - settings_.maxBytes;
    }
    // One for each waiter at most, which the next window admits in turn: each of them may need
    // the room of one, however little the first asks for.
    const size_t waiting = smallWaiters_.size() + largeWaiters_.size();
    size_t freed = 0;
    size_t endedCount = 0;
    for (auto& [moved, work] : slow) {
      if (freed >= need && endedCount >= waiting) break;
      ++endedCount;
      freed += work->held_;
      OmbreliaLogger::info("A playlist's fetch or answer holding " + std::to_string(work->held_) +
                               " bytes of room moved " + std::to_string(moved) +
                               " bytes in the last window while another playlist waited: ended",
                           OLogModule::proxy);
      ends.push_back(std::move(work->end_));
      work->end_ = nullptr;
      unwatchLocked(*work);
      placeWaitingHolderLocked(*work);
    }
    // A fetch waiting for room while holding some moves nothing, and waits on what others hold
    // while they wait on what it holds: once the wait has got nowhere for a few windows, it
    // would never go on. The youngest go first, as much as the first waiter lacks (the oldest
    // are the next to be let in), and only while another waits beside them.
    if (stillWindows_ >= settings_.stillWindowsBeforeEndingWaiters) {
      size_t othersWaiting = waiting;
      while (freed < need && !waitingHolders_.empty() && othersWaiting > 1) {
        --othersWaiting;
        ++progressChecks_;
        PlaylistWork* work = std::prev(waitingHolders_.end())->second;
        freed += work->held_;
        OmbreliaLogger::info("A playlist's fetch waiting for room while holding " +
                                 std::to_string(work->held_) +
                                 " bytes of it, the wait having got nowhere for " +
                                 std::to_string(stillWindows_) + " windows: ended",
                             OLogModule::proxy);
        ends.push_back(std::move(work->end_));
        work->end_ = nullptr;
        placeWaitingHolderLocked(*work);
      }
    }
    watchProgressLocked(false);
  }
  for (auto& end : ends) end();
}

}  // namespace ombrelia
