#include "SummaryTable.hpp"

#include <cstdio>
#include <string>

#include <sys/resource.h>

namespace ombrelia::example {
namespace {

void row(const char* name, const std::string& value) {
  std::printf("%-22s %s\n", name, value.c_str());
}

std::string fixed(double value, int decimals = 1) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

void SummaryTable::print(const PacedPlayer::Summary& played, const AnalyticsManager& analytics) {
  printRows(&played, played.peersConnected, analytics);
}

void SummaryTable::printServed(int64_t peersConnected, const AnalyticsManager& analytics) {
  printRows(nullptr, peersConnected, analytics);
}

void SummaryTable::printRows(const PacedPlayer::Summary* played, int64_t peersConnected,
                             const AnalyticsManager& analytics) {
  const std::string unseen = "-";
  if (played) {
    row("result", played->ok ? "played" : played->error);
    row("stream", played->live ? "live" : "on demand");
    row("segments", std::to_string(played->segments));
    if (played->live) row("segments missed", std::to_string(played->missed));
    row("media seconds played", fixed(played->playedSeconds));
  } else {
    row("result", "served");
    row("stream", unseen);
    row("segments", unseen);
    row("media seconds played", unseen);
  }
  row("bytes from origin", std::to_string(analytics.getDataCDN()));
  row("bytes from peers", std::to_string(analytics.getDataPeer()));
  row("peer share", fixed(100.0 * analytics.getP2PPercent()) + "%");
  row("bytes sent to peers", std::to_string(analytics.getDataSent()));
  row("energy saved", fixed(analytics.getEnergySavedInWh(), 6) + " Wh");
  row("green score", fixed(analytics.getGreenScore()));
  row("peers connected", std::to_string(peersConnected));
  row("stalls", played ? std::to_string(played->stalls) : unseen);
  row("seconds stalled", played ? fixed(played->stalledSeconds) : unseen);
  // This process's own cost, for the swarm benchmark: the high-water mark of its resident
  // memory and the CPU time of all its threads so far.
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) == 0) {
    row("peak memory kB", std::to_string(usage.ru_maxrss));
    row("cpu seconds",
        fixed(static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
              2));
  }
  std::fflush(stdout);
}

}  // namespace ombrelia::example
