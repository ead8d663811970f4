#pragma once
// The host's main thread.

#include <cstdint>

#include <ombrelia/AnalyticsManager.hpp>

#include "PacedPlayer.hpp"

namespace ombrelia::example {

// The table the host prints on standard output when it has played, or when it is stopped: one
// "name  value" row per figure, the same rows in the same order for both commands, so that a
// script reads either the same way.
class SummaryTable {
 public:
  // After the paced player: its own figures and the library's.
  static void print(const PacedPlayer::Summary& played, const AnalyticsManager& analytics);
  // After serving an external player: the library's figures. The rows only a player knows
  // (segments, media seconds, stalls) read "-": the host cannot see an external player.
  static void printServed(int64_t peersConnected, const AnalyticsManager& analytics);

 private:
  static void printRows(const PacedPlayer::Summary* played, int64_t peersConnected,
                        const AnalyticsManager& analytics);
};

}  // namespace ombrelia::example
