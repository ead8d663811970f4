#pragma once
// play() runs on the host's main thread; getPrebufferingDuration() is called from the library's
// threads.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/AnalyticsManagerProtocol.hpp>

namespace ombrelia::example {

// A small HLS player for the demo: it reads the master and media playlists and the segments
// through the proxy in real time, keeps a model of its buffer (downloaded media ahead of the
// play position), counts stalls, and tells the library how much it has buffered.
class PacedPlayer : public AnalyticsManagerProtocol {
 public:
  struct Settings {
    double seconds = 0;  // wall-clock seconds to play; 0 plays the whole stream
    double speed = 1;    // media seconds per wall-clock second
    bool quiet = false;  // no progress line per segment
  };

  struct Summary {
    bool ok = false;
    std::string error;
    int segments = 0;
    int64_t bytes = 0;  // what the player received
    int stalls = 0;
    double stalledSeconds = 0;
    double playedSeconds = 0;  // media seconds
    int64_t peersConnected = 0;  // the most peers with an open channel at one time
  };

  explicit PacedPlayer(Settings settings) : settings_(settings) {}

  Summary play(const std::string& localURL);

  double getPrebufferingDuration() override;
  double getLatency() override { return 0; }

 private:
  // Playback starts once this much media is downloaded.
  static constexpr double kStartBufferSeconds = 4;
  // The player stops downloading while this much is buffered ahead, as players do.
  static constexpr double kMaxBufferSeconds = 30;

  struct Segment {
    std::string url;
    double duration = 0;
  };

  using Clock = std::chrono::steady_clock;
  // Advances the play position to `now`; true when it ran out of media (a stall began).
  bool advance(Clock::time_point now);
  std::optional<std::vector<Segment>> loadSegments(const std::string& url, Summary& summary);

  const Settings settings_;
  std::mutex mutex_;  // guards the buffer model below
  double bufferedEnd_ = 0;
  double playhead_ = 0;
  bool playing_ = false;
  Clock::time_point lastTick_{};
};

}  // namespace ombrelia::example
