// The example host application: embeds the library the way an application does.
//
// Start-up, in the library's order: configure once with the customer key, choose the log
// level, create the analytics manager with its delegate and let it track the player's buffer,
// create the proxy manager, start it, and hand the player the local URL.
#include <ombrelia/Ombrelia.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <random>

#include "ArenaTops.hpp"
#include "HeldOutput.hpp"
#include "HostOptions.hpp"
#include "PacedPlayer.hpp"
#include "ShownText.hpp"
#include "StatedBuffer.hpp"
#include "SummaryTable.hpp"
#include "api/HostSeams.hpp"

using namespace ombrelia;
using example::HeldOutput;
using example::HostOptions;
using example::PacedPlayer;
using example::StatedBuffer;
using example::SummaryTable;

namespace {

std::string randomClientID() {
  std::random_device device;
  char id[17];
  std::snprintf(id, sizeof id, "%08x%08x", device(), device());
  return id;
}

// Nothing in this example may reach the compiled-in tracker: without --tracker the signalling
// connection goes to a loopback port where nothing listens.
constexpr const char* kNoTracker = "wss://127.0.0.1:9/";

// While serving, the host counts the peers this often for the table's "peers connected" (the
// most at one time): often enough to see a peer that stays a few seconds, and costs nothing.
constexpr std::chrono::seconds kPeerLookInterval{1};

// Waits for SIGINT or SIGTERM (blocked on every thread); returns the most peers with an open
// channel seen meanwhile.
int64_t serveUntilStopped(const sigset_t& stopSignals) {
  int64_t peersConnected = 0;
  const timespec interval{kPeerLookInterval.count(), 0};
  for (;;) {
    const int signal = sigtimedwait(&stopSignals, nullptr, &interval);
    peersConnected = std::max(peersConnected, PeerListManager::shared().connectedPeerCount());
    if (signal > 0) return peersConnected;
  }
}

}  // namespace

int main(int argc, char** argv) {
  example::keepArenaTopsSmall();
  const auto options = HostOptions::parse(argc, argv);
  if (!options) return 2;
  if (options->helpAsked) {
    std::fputs(HostOptions::usage(), stdout);
    return 0;
  }
  // Read as a browser reads the URL typed into it: signed and templated URLs hold what RFC 3986
  // refuses ("{", "|", a "%" that starts no escape). Text libcurl reads otherwise where a user
  // name and password may stand is refused here, where it is still text: read, it is gone.
  const auto origin = Url::parseAsBrowser(options->originURL);
  if (!origin) {
    std::fprintf(stderr,
                 "ombrelia-host: the origin URL %s must be an http(s) URL that browsers and "
                 "libcurl read alike\n",
                 example::shownText(options->originURL).c_str());
    return 2;
  }

  // SIGINT and SIGTERM are taken by sigwait below, on this thread only.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  // Before the library starts: its log lines wait until the URL line is out. Made after the
  // signal mask, so its thread leaves the stop signals to sigwait.
  HeldOutput output;

  OmbreliaConfig::configure(options->key);
  OmbreliaConfig::shared().setVideoID(options->videoID);
  OmbreliaConfig::shared().setCurrentLevel(options->level);
  OLoggerConfig::shared().setActiveLogLevel(
      makeOLogLevel(options->logLevel).value_or(OLogLevel::none));

  // Internal seams: the signalling endpoint, the port (several viewers on one machine), and
  // peer connections without STUN servers, bound to loopback: the example's viewers all run on
  // this machine.
  HostSeams::overrideTrackerEndpoint(options->tracker ? *options->tracker
                                                      : *Url::parse(kNoTracker));
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
    player = std::make_shared<StatedBuffer>(options->assumedBuffer.value_or(0));
  }
  analytics->setDelegate(player);
  analytics->trackBuffering();

  auto proxy = std::make_unique<ProxyManager>(
      options->videoID, options->clientID.value_or(randomClientID()), *analytics);
  if (!proxy->startServer()) {
    // The player would otherwise be handed a URL to whatever holds the port.
    const auto error = proxy->lastStartError();
    const unsigned port = error ? error->port : options->port.value_or(8080);
    std::fprintf(stderr, "ombrelia-host: the proxy cannot listen on port %u: %s\n", port,
                 error ? example::shownText(error->description).c_str()
                       : "the application is in the background");
    return 1;
  }
  const auto local = proxy->reverseProxyURL(*origin);
  if (!local) {
    std::fprintf(stderr, "ombrelia-host: no local URL for %s\n",
                 example::shownText(options->originURL).c_str());
    return 1;
  }
  output.writeFirstLine(local->toString());

  int status = 0;
  if (pacedPlayer) {
    const auto summary = pacedPlayer->play(local->toString());
    SummaryTable::print(summary, *analytics);
    status = summary.ok ? 0 : 1;
    if (options->stay) {
      int signal = 0;
      sigwait(&stopSignals, &signal);
      SummaryTable::print(summary, *analytics);  // the totals again, with what was served meanwhile
    }
  } else {
    SummaryTable::printServed(serveUntilStopped(stopSignals), *analytics);
  }
  // How a video ends: its manager goes, then the playlists. The next video would take a new
  // ProxyManager of its own video identifier, made and started after these two calls; one kept
  // for it would stop sharing with peers.
  proxy->cleanup();
  ManifestManager::shared().cleanup();
  analytics->cleanup();
  return status;
}
