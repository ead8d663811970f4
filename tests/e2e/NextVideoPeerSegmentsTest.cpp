// An application switches videos while the previous player still reloads its media playlist:
// it calls cleanup() and hands the next video to a new player. Another viewer of the next video
// serves it through the tracker, and the next video's segments come from that viewer, not only
// from the origin.
#include <gtest/gtest.h>

#include <ombrelia/Ombrelia.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <unistd.h>

#include "api/HostSeams.hpp"
#include "support/ChildProcess.hpp"
#include "support/HostViewer.hpp"
#include "support/ProxyFixture.hpp"
#include "support/SampleStream.hpp"
#include "support/StreamOrigin.hpp"
#include "support/StreamPlayback.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestTracker.hpp"

namespace ombrelia::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kHost = std::string(OMBRELIA_BINARY_DIR) + "/examples/ombrelia-host";
// What the example host names its key and video: peers exchange segments of one video.
constexpr const char* kKey = "demo-key";
constexpr const char* kVideo = "demo-video";

// A player whose buffer stays healthy, so that its segments may come from peers.
class FullBuffer : public AnalyticsManagerProtocol {
 public:
  double getPrebufferingDuration() override { return 30; }
  double getLatency() override { return 0; }
};

// The old player: reloads its media playlist every 300 ms until stopped, counting the answers.
class ReloadingPlayer {
 public:
  explicit ReloadingPlayer(std::string mediaUrl)
      : thread_([this, url = std::move(mediaUrl)] {
          while (!stop_) {
            if (fetchWithCurl(url).status == 200) ++reloads_;
            std::this_thread::sleep_for(300ms);
          }
        }) {}
  ~ReloadingPlayer() {
    stop_ = true;
    thread_.join();
  }
  int reloads() const { return reloads_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> reloads_{0};
  std::thread thread_;
};

TEST(NextVideoPeerSegments, TheNextVideosSegmentsComeFromAPeerWhileTheOldPlayerReloads) {
  TestCertificates authority;
  TestTracker tracker(TestTracker::Settings{authority.issue({"localhost"}, {"127.0.0.1"})});
  tracker.setGroupResponseAfterUuid(true);
  // Two videos on one origin, under /a and /b.
  const auto root =
      std::filesystem::temp_directory_path() / ("next-video-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root);
  std::filesystem::create_directory_symlink(SampleStream::folder("ts3", 8, 2), root / "a");
  std::filesystem::create_directory_symlink(SampleStream::folder("ts3", 60, 2), root / "b");
  StreamOrigin origin(root.string());
  ASSERT_TRUE(origin.running());

  // The other viewer plays video B to its end and stays, holding its segments.
  HostViewer peer(
      "peer", std::make_unique<ChildProcess>(
                  std::vector<std::string>{kHost, "play", origin.url("/b/master.m3u8"), "--port",
                                           "0", "--tracker", tracker.url("127.0.0.1").toString(),
                                           "--speed", "10", "--quiet", "--stay", "--log-level", "3",
                                           "--client-id", "peer"},
                  ChildProcess::Settings{
                      .captureStdout = true,
                      .extraEnvironment = {"SSL_CERT_FILE=" + authority.caFile().string()}}));
  const auto played = Clock::now() + 60s;
  while (!peer.finished() && Clock::now() < played) peer.poll();
  ASSERT_TRUE(peer.finished()) << "the other viewer never played video B";
  ASSERT_EQ(peer.row("result"), "played");

  // The application: configured as the example host is, its tracker the test's.
  ::setenv("SSL_CERT_FILE", authority.caFile().c_str(), 1);
  if (!OmbreliaConfig::isConfigured()) OmbreliaConfig::configure(kKey);
  OmbreliaConfig::shared().setCurrentLevel(0);
  HostSeams::overrideTrackerEndpoint(tracker.url("127.0.0.1"));
  HostSeams::overrideProxyPort(0);
  HostSeams::useLoopbackPeers();
  auto analytics = AnalyticsManager::create();
  const auto player = std::make_shared<FullBuffer>();
  analytics->setDelegate(player);
  analytics->trackBuffering();
  auto proxy = std::make_unique<ProxyManager>(kVideo, "switcher", *analytics);
  proxy->startServer();
  const auto connected = Clock::now() + 30s;
  while (PeerListManager::shared().connectedPeerCount() < 1 && Clock::now() < connected) {
    peer.poll(100ms);
  }
  EXPECT_GE(PeerListManager::shared().connectedPeerCount(), 1) << "never met the other viewer";

  auto localOf = [&proxy, &origin](const std::string& path) {
    const auto local = proxy->reverseProxyURL(*Url::parse(origin.url(path)));
    return local ? local->toString() : std::string();
  };
  // Video A plays: its master, its media playlist, reloaded from now on.
  const Fetched masterA = fetchWithCurl(localOf("/a/master.m3u8"));
  ASSERT_EQ(masterA.status, 200);
  const auto variantsA = localUrlsIn(masterA.body);
  ASSERT_FALSE(variantsA.empty());
  std::optional<ReloadingPlayer> oldPlayer;
  oldPlayer.emplace(variantsA.front());

  // The switch: the old player's reloads go on past cleanup(), and one lands before B's master.
  const int before = oldPlayer->reloads();
  ManifestManager::shared().cleanup();
  const auto reloaded = Clock::now() + 10s;
  while (oldPlayer->reloads() < before + 2 && Clock::now() < reloaded) peer.poll(50ms);
  ASSERT_GE(oldPlayer->reloads(), before + 2) << "the old player stopped reloading";

  const Playback playback = playThrough(localOf("/b/master.m3u8"), root.string());
  oldPlayer.reset();
  EXPECT_EQ(playback.failure, "");
  EXPECT_GT(playback.segments, 0u);
  const auto fromPeers = analytics->getDataPeer();
  std::printf("video B: %zu segments, %lld bytes from the peer\n", playback.segments,
              static_cast<long long>(fromPeers));
  EXPECT_GT(fromPeers, 0) << "no segment of video B came from the peer";
  EXPECT_FALSE(ManifestManager::shared().getResolutions().empty());
  if (::testing::Test::HasFailure()) peer.printLinesWith({"P2PUpload", "PeerMessagesController"});

  proxy->cleanup();
  proxy.reset();
  analytics->cleanup();
  ManifestManager::shared().cleanup();
  VideoStorageManager::shared().removeAll();
  HostSeams::overrideTrackerEndpoint(std::nullopt);
  HostSeams::overrideProxyPort(std::nullopt);
  ::unsetenv("SSL_CERT_FILE");
  peer.process().stop(SIGTERM, 10s);
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace ombrelia::test
