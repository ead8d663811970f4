// The example host application: embeds the library the way an application does.
//
// Start-up, in the library's order: configure once with the customer key, choose the log
// level, create the analytics manager with its delegate and let it track the player's buffer,
// create the proxy manager, start it, and hand the player the local URL.
#include <ombrelia/Ombrelia.hpp>

#include <csignal>
#include <cstdio>
#include <random>

#include <sys/resource.h>

#include "HostOptions.hpp"
#include "PacedPlayer.hpp"
#include "api/HostSeams.hpp"

using namespace ombrelia;
using example::HostOptions;
using example::PacedPlayer;

namespace {

// Answers the library's questions about the player when the host only serves URLs: it knows
// no buffer, so every segment comes from the origin.
class NoPlayer : public AnalyticsManagerProtocol {
 public:
  double getPrebufferingDuration() override { return 0; }
  double getLatency() override { return 0; }
};

std::string randomClientID() {
  std::random_device device;
  char id[17];
  std::snprintf(id, sizeof id, "%08x%08x", device(), device());
  return id;
}

// Nothing in this example may reach the compiled-in tracker: without --tracker the signalling
// connection goes to a loopback port where nothing listens.
constexpr const char* kNoTracker = "wss://127.0.0.1:9/";

void printSummary(const PacedPlayer::Summary& summary, const AnalyticsManager& analytics) {
  const int64_t origin = analytics.getDataCDN();
  const int64_t peers = analytics.getDataPeer();
  const double share = 100.0 * analytics.getP2PPercent();
  std::printf("%-22s %s\n", "result", summary.ok ? "played" : summary.error.c_str());
  std::printf("%-22s %s\n", "stream", summary.live ? "live" : "on demand");
  std::printf("%-22s %d\n", "segments", summary.segments);
  if (summary.live) {
    std::printf("%-22s %lld\n", "segments missed", static_cast<long long>(summary.missed));
  }
  std::printf("%-22s %.1f\n", "media seconds played", summary.playedSeconds);
  std::printf("%-22s %lld\n", "bytes from origin", static_cast<long long>(origin));
  std::printf("%-22s %lld\n", "bytes from peers", static_cast<long long>(peers));
  std::printf("%-22s %.1f%%\n", "peer share", share);
  std::printf("%-22s %lld\n", "bytes sent to peers",
              static_cast<long long>(analytics.getDataSent()));
  std::printf("%-22s %.6f Wh\n", "energy saved", analytics.getEnergySavedInWh());
  std::printf("%-22s %.1f\n", "green score", analytics.getGreenScore());
  std::printf("%-22s %lld\n", "peers connected", static_cast<long long>(summary.peersConnected));
  std::printf("%-22s %d\n", "stalls", summary.stalls);
  std::printf("%-22s %.1f\n", "seconds stalled", summary.stalledSeconds);
  // This process's own cost, for the swarm benchmark: the high-water mark of its resident
  // memory and the CPU time of all its threads so far.
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) == 0) {
    std::printf("%-22s %ld\n", "peak memory kB", usage.ru_maxrss);
    std::printf("%-22s %.2f\n", "cpu seconds",
                static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = HostOptions::parse(argc, argv);
  if (!options) return 2;
  const auto origin = Url::parseAbsolute(options->originURL);
  if (!origin || (origin->scheme() != "http" && origin->scheme() != "https")) {
    std::fprintf(stderr, "ombrelia-host: the origin URL must be an http(s) URL\n");
    return 2;
  }

  // SIGINT and SIGTERM are taken by sigwait below, on this thread only.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  OmbreliaConfig::configure(options->key);
  OmbreliaConfig::shared().setVideoID(options->videoID);
  OmbreliaConfig::shared().setCurrentLevel(options->level);
  OLoggerConfig::shared().setActiveLogLevel(
      makeOLogLevel(options->logLevel).value_or(OLogLevel::none));

  // Internal seams: the signalling endpoint, the port (several viewers on one machine), and
  // peer connections without STUN servers, bound to loopback: the example's viewers all run on
  // this machine.
  HostSeams::overrideTrackerEndpoint(Url::parse(options->tracker.value_or(kNoTracker)));
  if (options->port) HostSeams::overrideProxyPort(*options->port);
  HostSeams::useLoopbackPeers();

  auto analytics = AnalyticsManager::create();
  std::shared_ptr<AnalyticsManagerProtocol> player;
  std::shared_ptr<PacedPlayer> pacedPlayer;
  if (options->command == HostOptions::Command::play) {
    pacedPlayer = std::make_shared<PacedPlayer>(
        PacedPlayer::Settings{options->seconds, options->speed, options->quiet, options->digests},
        analytics);
    player = pacedPlayer;
  } else {
    player = std::make_shared<NoPlayer>();
  }
  analytics->setDelegate(player);
  analytics->trackBuffering();

  auto proxy = std::make_unique<ProxyManager>(
      options->videoID, options->clientID.value_or(randomClientID()), *analytics);
  proxy->startServer();
  const auto local = proxy->reverseProxyURL(*origin);
  if (!local) {
    std::fprintf(stderr, "ombrelia-host: no local URL for %s\n", options->originURL.c_str());
    return 1;
  }
  std::printf("%s\n", local->toString().c_str());
  std::fflush(stdout);

  int status = 0;
  if (pacedPlayer) {
    const auto summary = pacedPlayer->play(local->toString());
    printSummary(summary, *analytics);
    status = summary.ok ? 0 : 1;
    if (options->stay) {
      int signal = 0;
      sigwait(&stopSignals, &signal);
      printSummary(summary, *analytics);  // the totals again, with what was served meanwhile
    }
  } else {
    int signal = 0;
    sigwait(&stopSignals, &signal);
  }
  proxy->cleanup();
  analytics->cleanup();
  return status;
}
