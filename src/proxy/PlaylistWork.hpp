#pragma once
// Any thread, one stage at a time.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/CancellationToken.hpp"

namespace ombrelia {

class PlaylistWorkBudget;

// What one playlist holds of the budget of playlist work in flight, from its fetch to the end of
// its answer. Let go, it gives everything back and drops its waiting, if any.
class PlaylistWork : public std::enable_shared_from_this<PlaylistWork> {
 public:
  // `origin`: whose share it counts in ("scheme://host:port"), none when empty.
  PlaylistWork(std::shared_ptr<PlaylistWorkBudget> budget, std::string origin = {});
  ~PlaylistWork();
  PlaylistWork(const PlaylistWork&) = delete;
  PlaylistWork& operator=(const PlaylistWork&) = delete;

  // Holds `bytes` more once the budget has room, then runs `then`: at once on this thread when
  // there is room now, else later on the global queue.
  void hold(size_t bytes, std::function<void()> then);
  // Holds `bytes` more if there is room now. Otherwise false, and `retry` runs, on the global
  // queue, once there may be room: the caller then asks again.
  bool tryHold(size_t bytes, std::function<void()> retry);
  // Sets what it holds, giving back or taking whatever the difference, room or not: for bytes
  // that exist already.
  void holdExactly(size_t bytes);
  // Gives back at most `bytes` of what it holds.
  void release(size_t bytes);
  // Stops waiting: the pending callback, if any, runs now without the bytes it waited for (the
  // caller sees why, its request cancelled, and gives up).
  void stopWaiting();
  // Stops waiting once `cancellation` is cancelled, whenever that is; nothing when it is null.
  void stopWaitingOnceCancelled(const std::shared_ptr<platform::CancellationToken>& cancellation);
  // Its answer is being written: from now on it moves only as fast as its player reads, so it
  // no longer holds the oldest role, and what it holds counts as its connection's share.
  void beginAnswer();
  size_t held() const;
  // While it holds room and another work waits for some, `end` may be called (once, from any
  // thread) to end it should it move less than its share of progress (a fetch: cancelled, its
  // player answered an error); null when it may no longer be ended that way.
  void endWhileOthersWait(std::function<void()> end);
  // It moved `bytes` more: arrived from its origin, or written to its player. One thread at a
  // time; without a lock but once a window, when it has moved its share of progress for it.
  void progressed(size_t bytes);
  // Whether its fetch waits for an origin connection (queued behind the origin's others, or
  // having given its own up): time spent so is the client's queueing, not the origin's slowness,
  // and never counts against its progress. Any thread.
  void awaitConnection(bool awaiting);

 private:
  friend class PlaylistWorkBudget;

  const std::shared_ptr<PlaylistWorkBudget> budget_;
  const std::string origin_;
  uint64_t sequence_ = 0;
  size_t held_ = 0;         // guarded by the budget's mutex
  size_t mostHeld_ = 0;     // likewise
  bool answering_ = false;  // likewise
  // Its waiting, if any: which queue and where in it. Likewise guarded.
  bool waiting_ = false;
  bool waitingSmall_ = false;
  uint64_t waiterKey_ = 0;
  // In the budget's waitingHolders_ (a fetch waiting for room while holding some); likewise.
  bool waitingHolder_ = false;
  // How it is ended for a waiter; likewise.
  std::function<void()> end_;
  // Its progress is watched while it may be ended and waits neither for room nor for a
  // connection (PlaylistWorkBudget::behind_). `metWindow_` is the last progress window it has
  // moved its share in (or was counted from), `slowWindows_` the windows in a row it moved too
  // little, the last of them `lastSlowWindow_`; likewise guarded.
  bool watched_ = false;
  uint64_t metWindow_ = 0;
  int slowWindows_ = 0;
  uint64_t lastSlowWindow_ = 0;
  std::atomic<uint64_t> progress_{0};
  std::atomic<bool> awaitingConnection_{false};
  // Read without the lock by the thread that moves it: the window it has moved its share in
  // already (kNotWatched when not watched), and where its progress stood before its first move
  // in `sampleWindow_`, so that what it moved in a window is known without the budget looking at
  // it when the window begins.
  static constexpr uint64_t kNotWatched = UINT64_MAX;
  std::atomic<uint64_t> metWindowHint_{kNotWatched};
  std::atomic<uint64_t> sampleWindow_{0};
  std::atomic<uint64_t> sample_{0};
};

}  // namespace ombrelia
