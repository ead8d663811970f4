#pragma once
// play() runs on the host's main thread, which also reports stalls to the analytics manager;
// getPrebufferingDuration() is called from the library's threads.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <ombrelia/AnalyticsManager.hpp>
#include <ombrelia/AnalyticsManagerProtocol.hpp>

#include "PlayerPlaylist.hpp"

namespace ombrelia::example {

// A small HLS player for the demo: it reads the master and media playlists and the segments
// through the proxy in real time, keeps a model of its buffer (downloaded media ahead of the
// play position), counts stalls and reports them to the analytics manager as a player
// integration does, and tells the library how much it has buffered. A live playlist is
// reloaded as the HLS rules ask and played from a few segments behind its live edge.
class PacedPlayer : public AnalyticsManagerProtocol {
 public:
  struct Settings {
    // On demand: wall-clock seconds to play. Live: media seconds to play. 0: until the end.
    double seconds = 0;
    // Media seconds per wall-clock second, on demand only: live media arrives in real time.
    double speed = 1;
    bool quiet = false;    // no progress line per segment
    bool digests = false;  // a "digest <path> <sha-256>" line on standard output per segment
  };

  struct Summary {
    bool ok = false;
    std::string error;
    bool live = false;
    int segments = 0;
    int64_t bytes = 0;  // what the player received
    int stalls = 0;
    double stalledSeconds = 0;
    double playedSeconds = 0;    // media seconds
    int64_t peersConnected = 0;  // the most peers with an open channel at one time
    int64_t missed = 0;          // live segments that left the window before they were fetched
  };

  PacedPlayer(Settings settings, std::shared_ptr<AnalyticsManager> analytics)
      : settings_(settings), analytics_(std::move(analytics)) {}

  Summary play(const std::string& localURL);

  double getPrebufferingDuration() override;
  double getLatency() override { return 0; }

 private:
  // Playback starts once this much media is downloaded.
  static constexpr double kStartBufferSeconds = 4;
  // The player stops downloading while this much is buffered ahead, as players do.
  static constexpr double kMaxBufferSeconds = 30;
  // The HLS rules ask a player not to start closer than three target durations to the live
  // edge, so that one late segment does not stall it at once.
  static constexpr int64_t kLiveStartSegments = 3;
  // Bounds on the reload interval taken from a live playlist's target duration: an origin's
  // missing or absurd value must neither spin the player nor freeze it.
  static constexpr double kMinReloadSeconds = 0.5;
  static constexpr double kMaxReloadSeconds = 30;

  using Clock = std::chrono::steady_clock;

  // Moves the play position to `now`; notes when the buffer ran dry. Under mutex_.
  void advance(Clock::time_point now);
  // Adds `media` seconds to the buffer, counts and reports a stall that began since the last
  // call, and resumes playback once enough is buffered (or `last`: nothing more will come).
  void update(Summary& summary, double media, bool last);
  // Sleeps until `deadline`, waking when the buffer runs dry to report the stall at once.
  void waitUntil(Clock::time_point deadline, Summary& summary);
  enum class Fetched { ok, missed, failed };
  Fetched fetch(const PlayerPlaylist::Segment& segment, bool last, Summary& summary,
                const std::function<bool()>& outOfTime);
  std::optional<PlayerPlaylist> load(const std::string& url, Summary& summary);
  double buffered();

  const Settings settings_;
  const std::shared_ptr<AnalyticsManager> analytics_;
  std::mutex mutex_;  // guards the buffer model below
  double speed_ = 1;
  double bufferedEnd_ = 0;
  double playhead_ = 0;
  bool playing_ = false;
  Clock::time_point lastTick_{};
  std::optional<Clock::time_point> ranDryAt_;
  // Player thread only: when the stall in progress began.
  std::optional<Clock::time_point> stallStart_;
};

}  // namespace ombrelia::example
