#pragma once
// Called from the library's threads; it holds only constants.

#include <ombrelia/AnalyticsManagerProtocol.hpp>

namespace ombrelia::example {

// Answers the library's questions about the player when the host only serves URLs to a player
// it cannot see (ffplay, VLC, ...): the buffer is the one the command line states. An
// application that embeds the library reports its real player's buffer instead. Stated as 0,
// the buffer never passes the library's gate, and every segment comes from the origin.
class StatedBuffer : public AnalyticsManagerProtocol {
 public:
  explicit StatedBuffer(double seconds) : seconds_(seconds) {}

  double getPrebufferingDuration() override { return seconds_; }
  double getLatency() override { return 0; }

 private:
  const double seconds_;
};

}  // namespace ombrelia::example
