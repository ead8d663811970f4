// An application switches videos while the previous player is still at work, the documented
// way: it cleans up the previous video's ProxyManager, calls ManifestManager::cleanup() and hands
// the next video to a new player through a new ProxyManager with the next video's identifier.
// Another viewer of the next video serves it through the tracker, and the next video's segments
// come from that viewer, not only from the origin, whatever the previous player still loads.
#include <gtest/gtest.h>

#include <ombrelia/Ombrelia.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "support/EmbeddingApplication.hpp"
#include "support/HostViewer.hpp"
#include "support/ProxyFixture.hpp"
#include "support/SampleStream.hpp"
#include "support/StreamOrigin.hpp"
#include "support/StreamPlayback.hpp"
#include "support/TestHttpServer.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// What the example host names its video: peers exchange segments of one video.
constexpr const char* kNextVideo = "demo-video";
constexpr const char* kPreviousVideo = "previous-video";

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

// The other viewer, which plays video B to its end and stays, holding its segments; and the
// application, configured as the example host is, its tracker the test's. Video A is the
// previous one, played under its own identifier.
class NextVideoPeerSegments : public EmbeddingApplication {
 protected:
  void SetUp() override {
    tracker.setGroupResponseAfterUuid(true);
    // Two videos on one origin, under /a and /b.
    makeRoot("next-video");
    std::filesystem::create_directory_symlink(SampleStream::folder("ts3", 8, 2), root / "a");
    std::filesystem::create_directory_symlink(SampleStream::folder("ts3", 60, 2), root / "b");
    origin = std::make_unique<StreamOrigin>(root.string());
    ASSERT_TRUE(origin->running());

    peer = startHostViewer(
        "peer", "/b/master.m3u8",
        {"--speed", "10", "--quiet", "--stay", "--log-level", "3", "--client-id", "peer"});
    const auto played = Clock::now() + test::scaledWait(60s);
    while (!peer->finished() && Clock::now() < played) peer->poll();
    ASSERT_TRUE(peer->finished()) << "the other viewer never played video B";
    ASSERT_EQ(peer->row("result"), "played");

    configureLibrary();
  }

  void TearDown() override {
    cleanUpLibrary();
    if (peer) peer->process().stop(SIGTERM, test::scaledWait(10s));
    std::filesystem::remove_all(root);
  }

  std::unique_ptr<ProxyManager> startManager(const std::string& videoID) {
    return EmbeddingApplication::startManager(videoID, "switcher");
  }
  // The next video's manager, once it has met the other viewer.
  std::unique_ptr<ProxyManager> startNextManager() {
    auto manager = startManager(kNextVideo);
    const auto connected = Clock::now() + test::scaledWait(30s);
    while (PeerListManager::shared().connectedPeerCount() < 1 && Clock::now() < connected) {
      peer->poll(100ms);
    }
    EXPECT_GE(PeerListManager::shared().connectedPeerCount(), 1) << "never met the other viewer";
    return manager;
  }
  // Video B through the next video's manager: every segment is the origin's, and some come from
  // the other viewer.
  void expectTheNextVideoFromThePeer(const ProxyManager& next) {
    const Playback playback =
        playThrough(localOf(next, origin->url("/b/master.m3u8")), root.string());
    EXPECT_EQ(playback.failure, "");
    EXPECT_GT(playback.segments, 0u);
    const auto fromPeers = analytics->getDataPeer();
    std::printf("video B: %zu segments, %lld bytes from the peer\n", playback.segments,
                static_cast<long long>(fromPeers));
    EXPECT_GT(fromPeers, 0) << "no segment of video B came from the peer";
    EXPECT_FALSE(ManifestManager::shared().getResolutions().empty());
    if (::testing::Test::HasFailure()) {
      // What the other viewer wrote while video B played has not been read yet: whether it was
      // asked, and what it answered, tells a peer that never heard from an engine that ignored it.
      peer->poll();
      peer->printLinesWith({"P2PUpload", "PeerMessagesController"});
    }
  }

  std::unique_ptr<HostViewer> peer;
};

// This test switched with one ProxyManager kept across cleanup(), the way the README used to
// give, which named video B's segments with the previous video's identifier; it now switches
// the documented way, the old player reloading until its manager is cleaned up.
TEST_F(NextVideoPeerSegments, TheNextVideosSegmentsComeFromAPeerWhileTheOldPlayerReloads) {
  auto previous = startManager(kPreviousVideo);
  // Video A plays: its master, its media playlist, reloaded from now on.
  const Fetched masterA = fetchWithCurl(localOf(*previous, origin->url("/a/master.m3u8")));
  ASSERT_EQ(masterA.status, 200);
  const auto variantsA = localUrlsIn(masterA.body);
  ASSERT_FALSE(variantsA.empty());
  std::optional<ReloadingPlayer> oldPlayer;
  oldPlayer.emplace(variantsA.front());
  const auto reloaded = Clock::now() + test::scaledWait(10s);
  while (oldPlayer->reloads() < 2 && Clock::now() < reloaded) peer->poll(50ms);
  ASSERT_GE(oldPlayer->reloads(), 2) << "the old player never reloaded";

  // The switch; the old player goes on asking until it is stopped.
  previous->cleanup();
  ManifestManager::shared().cleanup();
  auto next = startNextManager();
  expectTheNextVideoFromThePeer(*next);
  oldPlayer.reset();
  next->cleanup();
}

// The previous player's master, asked before the switch and delivered after cleanup() but before
// the next video's master: it once took the place of the next video's master, whose segments
// then had no identity and none came from the peer.
TEST_F(NextVideoPeerSegments, TheOldPlayersMasterDeliveredAfterCleanupLeavesTheNextVideoToThePeer) {
  TestHttpServer slowOrigin;
  std::ifstream file(root / "a" / "master.m3u8", std::ios::binary);
  const std::string masterA((std::istreambuf_iterator<char>(file)), {});
  TestHttpResponse held = TestHttpResponse::ok(masterA, "application/vnd.apple.mpegurl");
  held.mode = TestHttpResponse::Mode::heldUntilReleased;
  slowOrigin.route("/a/master.m3u8", held);

  auto previous = startManager(kPreviousVideo);
  Fetched oldMaster;
  std::thread oldPlayer([&oldMaster, url = localOf(*previous, slowOrigin.url("/a/master.m3u8"))] {
    oldMaster = fetchWithCurl(url);
  });
  const auto asked = Clock::now() + test::scaledWait(20s);
  while (slowOrigin.requestCount() == 0 && Clock::now() < asked) peer->poll(10ms);
  ASSERT_EQ(slowOrigin.requestCount(), 1u) << "the old player's master never reached the origin";

  previous->cleanup();
  ManifestManager::shared().cleanup();
  auto next = startNextManager();
  // Delivered now, and answered: the old player still gets its master.
  slowOrigin.release("/a/master.m3u8");
  oldPlayer.join();
  EXPECT_EQ(oldMaster.status, 200);
  EXPECT_FALSE(localUrlsIn(oldMaster.body).empty());

  expectTheNextVideoFromThePeer(*next);
  next->cleanup();
}

}  // namespace
}  // namespace ombrelia::test
