#pragma once
// Any thread: works hold and give back bytes from wherever their stage runs; admissions that
// had to wait run on the global queue.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace ombrelia {

class PlaylistWork;

// The process-wide budget of playlist work in flight. Every playlist the proxy fetches for a
// player holds, from its fetch to the end of its answer, the bytes it has at each stage: the
// body as it arrives, what the store reads of it, the pinned text and the rewritten one, and the
// answer until it is written. A stage that would pass the budget waits for room, and a fetch
// pauses; so the viewer's memory for playlists does not grow with the number of players asking
// at once, nor with how often they ask.
class PlaylistWorkBudget : public std::enable_shared_from_this<PlaylistWorkBudget> {
 public:
  // Every playlist but the oldest in flight waits while its stage would take the bytes in flight
  // past this; the oldest never waits, so that playlists each holding part of the budget cannot
  // wait on each other for ever. So the most held is this plus what the oldest alone goes past
  // it by: a real playlist of 31 MiB, rewritten to 63 MiB, holds about 100 MiB at its largest
  // stage; at the largest body the proxy takes (64 MiB), about 200 MiB.
  static constexpr size_t kMaxPlaylistBytesInFlight = 128u << 20;
  // A playlist whose stages hold no more than this is small: a live playlist, or a few thousand
  // segments at URLs of a few hundred bytes. Small ones may use the part of the budget that
  // large ones leave (kSmallPlaylistReserve), so that a small playlist waits only for other
  // small ones, which end within moments, never behind a large one being rewritten or written to
  // a slow player.
  static constexpr size_t kMaxSmallPlaylistBytes = 4u << 20;
  static constexpr size_t kSmallPlaylistReserve = 32u << 20;

  struct Settings {
    size_t maxBytes = kMaxPlaylistBytesInFlight;
    size_t maxSmallPlaylistBytes = kMaxSmallPlaylistBytes;
    size_t smallPlaylistReserve = kSmallPlaylistReserve;
  };

  // The process's budget; never destroyed.
  static const std::shared_ptr<PlaylistWorkBudget>& shared();
  [[nodiscard]] static std::shared_ptr<PlaylistWorkBudget> create(Settings settings);

  // The work of one more playlist, holding nothing yet; it is younger than every other.
  std::shared_ptr<PlaylistWork> begin();

  size_t bytesInFlight() const;
  // The most bytes in flight at one time since the budget was made.
  size_t peakBytesInFlight() const;

 private:
  friend class PlaylistWork;
  struct Waiter {
    PlaylistWork* work;
    size_t bytes;
    // Reserving waiters are given their bytes when admitted; the others are only woken, to ask
    // again.
    bool reserves;
    std::function<void()> then;
  };

  explicit PlaylistWorkBudget(Settings settings) : settings_(settings) {}
  // Called with mutex_ held.
  bool admitsLocked(const PlaylistWork& work, size_t bytes) const;
  void addLocked(PlaylistWork& work, size_t bytes);
  // Gives back bytes, then admits the waiters that now fit; their callbacks run on the global
  // queue.
  void give(PlaylistWork& work, size_t bytes);
  void admitWaiters();
  void enter(PlaylistWork& work);
  void leave(PlaylistWork& work);

  const Settings settings_;
  mutable std::mutex mutex_;  // guards everything below and every work's held bytes
  uint64_t nextSequence_ = 0;
  std::map<uint64_t, PlaylistWork*> live_;  // by age, the oldest first
  std::deque<Waiter> waiters_;
  size_t used_ = 0;
  size_t peak_ = 0;
};

}  // namespace ombrelia
