#pragma once
// Any thread: works hold and give back bytes from wherever their stage runs; admissions that
// had to wait run on the global queue.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ombrelia {

class PlaylistWork;

// The process-wide budget of playlist work in flight. Every playlist the proxy fetches for a
// player holds, from its fetch to the end of its answer, the bytes it has at each stage: the
// body as it arrives, what the store reads of it, the pinned text and the rewritten one, and the
// answer until it is written. A stage that would pass the budget waits for room, and a fetch
// pauses; so the viewer's memory for playlists does not grow with the number of players asking
// at once, nor with how often they ask.
//
// The bound that holds: the viewer holds for playlists at most kMaxPlaylistBytesInFlight for
// every playlist in flight but the oldest, plus the oldest's need, plus what answers being
// written hold beyond their connections' shares (kConnectionShareBytes), plus what the playlist
// store keeps (ManifestController::kMaxStoredBytes at most). Answers beyond their shares go
// only as fast as their players read, at the server's minimum response rate or they are ended;
// the oldest passes the budget only while answers hold no more than kMaxPlaylistBytesInFlight
// in all, however many connections ask, so that players reading slowly or not at all cannot
// make the viewer take one playlist after another past the budget: a new request then waits,
// holding nothing, and the answer moving least is reset (below). A playlist's need is the most its
// stages hold at once, each share worked out before the stage runs from what the stage was measured
// to hold at its peak (bench_playlist --stages), so that no stage takes more than its share:
//   - its body, and the store's reading of it (DownloadController::storingBytes);
//   - its body, and the pinning (HLSManifestModifier::mostHeldBytes);
//   - the pinned text, and the rewriting: the most the rewritten text may take
//     (PlaylistRewriter::mostRewrittenBytes) or, where that may pass its bound, its measured
//     length, with what building it holds besides (PlaylistRewriter::workingBytes); the text
//     is then held until written, and given back piece by piece as it is.
// With 8 players at once (bench_playlist): a 4 MB playlist of 262,140 segments needs 42 MB,
// bound 124 MB, peak 87 MB; a real 31 MiB one (16,000 segments signed with 2,000-character
// queries) needs 100 MB, bound 200 MB, peak 133 MB. The largest body the proxy takes (64 MiB in
// 524,288 lines) may need about 320 MB, its store reading the most.
class PlaylistWorkBudget : public std::enable_shared_from_this<PlaylistWorkBudget> {
 public:
  // What every playlist in flight but the oldest may hold together: a stage that would take them
  // past it waits, and a fetch pauses. The oldest takes what it needs beside it and never waits,
  // so that playlists each holding part of the budget cannot wait on each other for ever.
  // Live playlists and ordinary ladders hold a few MiB: dozens of them go at once, while
  // playlists of tens of MiB go one after another.
  static constexpr size_t kMaxPlaylistBytesInFlight = 64u << 20;
  // A playlist whose stages hold no more than this is small: a live playlist, or a few hundred
  // segments at URLs of a few hundred bytes. Small ones may use the part of the budget that
  // large ones leave (kSmallPlaylistReserve), so that a small playlist waits only for other
  // small ones, which end within moments, never behind a large one being rewritten or written to
  // a slow player.
  static constexpr size_t kMaxSmallPlaylistBytes = 4u << 20;
  static constexpr size_t kSmallPlaylistReserve = 16u << 20;
  // Playlists whose last size is remembered, so that the fetch of a playlist reloaded takes its
  // share before it starts, rather than pausing partway with the origin's connection held: a
  // player keeps one playlist per variant and rendition, a few dozen at most, so 64 cover the
  // players of a viewer.
  static constexpr size_t kMaxRememberedPlaylists = 64;
  // An origin's share: what the playlists of one origin ("scheme://host:port") may hold together
  // beside the oldest, so that an origin whose bodies are slow or huge leaves the rest of the
  // budget to the others. Half of it: one origin's large playlists still go two at a time.
  static constexpr size_t kMaxOriginPlaylistBytes = kMaxPlaylistBytesInFlight / 2;
  // What an answer being written counts of the budget the other works share: a connection
  // writes one answer at a time, so this is one player connection's share. An answer goes only
  // as fast as its player reads, so one read slowly must not take the room of every other
  // player's playlist for as long as it lasts: 8 MiB is a few dozen live playlists, or a VOD
  // playlist of tens of thousands of segments; it takes six such connections to leave large
  // playlists only the oldest role, and eight to take the small ones' reserve.
  static constexpr size_t kConnectionShareBytes = 8u << 20;
  // While a work waits for room, what each fetch or answer holding room must have moved over the
  // last window to keep it: a live playlist comes at once and a VOD one of tens of MB at several
  // MB/s, while an origin that trickles would keep the waiter (another player's reload) for
  // minutes. Asked only while another waits, so a viewer on a 64 kbit/s link, or an origin stalling
  // 10 s, keeps its fetch whenever the budget has room for the rest.
  static constexpr size_t kMinProgressBytesPerSecond = 16 * 1024;
  static constexpr std::chrono::milliseconds kProgressWindow{1000};
  // How many windows in a row a holder must move too little before it is ended: a viewer short
  // of CPU (a slow device, many players at once) leaves some fetches unread for a moment, which
  // one window would take for a slow origin; an origin that trickles stays slow window after
  // window.
  static constexpr int kSlowWindowsBeforeEnding = 5;
  // How many windows in a row no waiter may be let in before a fetch that waits for room while
  // holding some is ended for the others: such a fetch moves nothing while it waits, and where
  // the wait gets nowhere, it holds what the others wait for while it waits on what they hold.
  // Fewer than for a slow holder, as no starved reader is mistaken for it: while honest
  // playlists wait, the oldest ends its stages and gives its room back, and waiters go in.
  static constexpr int kStillWindowsBeforeEndingWaiters = 2;

  struct Settings {
    size_t maxBytes = kMaxPlaylistBytesInFlight;
    size_t maxSmallPlaylistBytes = kMaxSmallPlaylistBytes;
    size_t smallPlaylistReserve = kSmallPlaylistReserve;
    size_t maxOriginBytes = kMaxOriginPlaylistBytes;
    size_t connectionShareBytes = kConnectionShareBytes;
    size_t minProgressBytesPerSecond = kMinProgressBytesPerSecond;
    std::chrono::milliseconds progressWindow = kProgressWindow;
    int slowWindowsBeforeEnding = kSlowWindowsBeforeEnding;
    int stillWindowsBeforeEndingWaiters = kStillWindowsBeforeEndingWaiters;
  };

  // The process's budget; never destroyed.
  static const std::shared_ptr<PlaylistWorkBudget>& shared();
  [[nodiscard]] static std::shared_ptr<PlaylistWorkBudget> create(Settings settings);

  // The work of one more playlist, holding nothing yet; it is younger than every other. Its
  // bytes count in the share of `origin` ("scheme://host:port"), none when empty.
  std::shared_ptr<PlaylistWork> begin(std::string origin = {});
  // What the playlists of `origin` hold now.
  size_t originBytesInFlight(const std::string& origin) const;

  // The size of the body the playlist at `key` had when last fetched; 0 when not remembered.
  size_t lastBodyBytes(const std::string& key) const;
  void rememberBodyBytes(const std::string& key, size_t bytes);

  size_t bytesInFlight() const;
  // The most bytes in flight at one time since the budget was made.
  size_t peakBytesInFlight() const;
  // The stages waiting for room.
  size_t waitingWorks() const;
  // How many waiters the admissions have looked at since the budget was made: each event
  // looks at those it admits and at most a few it cannot.
  uint64_t admissionChecks() const;
  // How many holders the progress sweeps have looked at since the budget was made: each window
  // looks only at those that moved too little in it, never at those waiting for a connection,
  // nor at any while nobody waits; at fetches waiting for room while holding some only once no
  // waiter has been let in for kStillWindowsBeforeEndingWaiters, and then at those it ends.
  uint64_t progressChecks() const;

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
  enum class Admission { admitted, originFull, budgetFull };

  explicit PlaylistWorkBudget(Settings settings)
      : settings_(settings),
        leastPerWindow_(settings.minProgressBytesPerSecond *
                        static_cast<size_t>(settings.progressWindow.count()) / 1000) {}
  // Called with mutex_ held.
  Admission admissionLocked(const PlaylistWork& work, size_t bytes) const;
  bool admitsLocked(const PlaylistWork& work, size_t bytes) const {
    return admissionLocked(work, bytes) == Admission::admitted;
  }
  // The work that holds the oldest role: the oldest whose answer is not being written.
  const PlaylistWork* oldestLocked() const;
  size_t beyondShare(size_t held) const {
    return held > settings_.connectionShareBytes ? held - settings_.connectionShareBytes : 0;
  }
  void addLocked(PlaylistWork& work, size_t bytes);
  // Whether the work's origin may hold `bytes` more beside what its playlists hold, the oldest's
  // not counted.
  bool withinOriginShareLocked(const PlaylistWork& work, size_t bytes,
                               const PlaylistWork* oldest) const;
  // Takes `bytes` off what the work and its origin hold.
  void subtractLocked(PlaylistWork& work, size_t bytes);
  void enqueueLocked(PlaylistWork& work, size_t bytes, bool reserves, std::function<void()> then);
  // Takes the work's waiter out of its queue, if it has one.
  std::optional<Waiter> dequeueLocked(PlaylistWork& work);
  // Gives back bytes, then admits the waiters that now fit; their callbacks run on the global
  // queue.
  void give(PlaylistWork& work, size_t bytes);
  void admitWaiters();
  // Admits, in order, the waiters of one queue that fit, up to the first refused for room.
  void admitFromLocked(std::map<uint64_t, Waiter>& queue,
                       std::vector<std::function<void()>>& admitted);
  void enter(PlaylistWork& work);
  void leave(PlaylistWork& work);
  void beginAnswerLocked(PlaylistWork& work);
  void setEndLocked(PlaylistWork& work, std::function<void()> end);
  // Whether the work's progress is watched: while it may be ended and waits neither for room
  // nor for a connection. Watched anew, it is counted from the next window on; a window it spent
  // waiting neither counts nor clears its slow windows.
  void watchLocked(PlaylistWork& work);
  void unwatchLocked(PlaylistWork& work);
  // Whether the work is a fetch waiting for room while holding some (waitingHolders_).
  void placeWaitingHolderLocked(PlaylistWork& work);
  // The work moved its share of progress in `window` (PlaylistWork::progressed).
  void met(PlaylistWork& work, uint64_t window);
  // While a work waits: a window later, ends the slowest of those holding room (sweep).
  // `newEpisode`: nobody waited before, and slow windows from the last wait no longer follow on.
  void watchProgressLocked(bool newEpisode);
  // The waiter that came first of those waiting; null when none waits.
  const Waiter* firstWaiterLocked() const;
  void sweep();

  const Settings settings_;
  const size_t leastPerWindow_;  // what a holder must move in a window while another waits
  // The progress window under way; it moves on only while a work waits. Read without the lock.
  std::atomic<uint64_t> window_{1};
  mutable std::mutex mutex_;  // guards everything below and every work's held bytes
  uint64_t nextSequence_ = 0;
  // By age, the oldest first: the works whose answers are not being written, so that the oldest
  // role is the first of them.
  std::map<uint64_t, PlaylistWork*> working_;
  // The works whose progress is watched (watchLocked), by the last window each moved its share
  // in, then by age: those that moved too little in the window that ends come first, and a
  // sweep looks at them alone.
  std::map<std::pair<uint64_t, uint64_t>, PlaylistWork*> behind_;
  uint64_t progressChecks_ = 0;
  // Fetches waiting for room while holding some, which a sweep may end once the wait has got
  // nowhere for a few windows: by when they began waiting.
  std::map<uint64_t, PlaylistWork*> waitingHolders_;
  uint64_t lastAdmittedWindow_ = 0;  // the last window in which a waiter was let in
  int stillWindows_ = 0;             // windows in a row of the wait under way with none let in
  uint64_t firstWindowOfWait_ = 0;   // the first window of the wait under way, or of the last
  // Waiters by arrival, small and large playlists apart: a small one passes large ones that
  // wait, and neither queue is looked at past its first waiter refused for room.
  uint64_t nextWaiter_ = 0;
  std::map<uint64_t, Waiter> smallWaiters_;
  std::map<uint64_t, Waiter> largeWaiters_;
  bool sweepScheduled_ = false;
  uint64_t admissionChecks_ = 0;
  std::deque<std::pair<std::string, size_t>> lastBodyBytes_;  // the oldest remembered first
  size_t used_ = 0;
  size_t peak_ = 0;
  // What answers being written hold beyond their connections' shares, kept as they change.
  size_t beyondShares_ = 0;
  // What answers being written hold in all, likewise.
  size_t answersHeld_ = 0;
  std::map<std::string, size_t> heldByOrigin_;  // only origins holding bytes
};

}  // namespace ombrelia
