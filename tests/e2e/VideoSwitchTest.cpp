// A viewer X switches from video E to video C while P, another viewer of E, plays E with X as
// its peer. Peers know a segment by video identifier, type, quality and number: C's segment N
// stored under E's identifier is, for P, E's segment N. Switching the documented way (a new
// ProxyManager with C's identifier) never mixes them; a manager kept across the switch stops
// sharing and says so once, rather than hand P C's bytes as E's.
#include <gtest/gtest.h>

#include <ombrelia/Ombrelia.hpp>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <set>

#include "store/VideoStorage.hpp"
#include "support/EmbeddingApplication.hpp"
#include "support/HostViewer.hpp"
#include "support/ProxyFixture.hpp"
#include "support/SampleStream.hpp"
#include "support/SegmentDigests.hpp"
#include "support/StreamOrigin.hpp"
#include "support/StreamPlayback.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kFirstVideo = "video-e";
constexpr const char* kNextVideo = "video-c";

class VideoSwitch : public EmbeddingApplication {
 protected:
  void SetUp() override {
    tracker.setGroupResponseAfterUuid(true);
    // Both videos have the same ladder, so their segments share qualities and numbers; C's
    // 3-second segments differ from E's 2-second ones at every number.
    makeRoot("video-switch");
    const std::string first = SampleStream::folder("ts3", 60, 2);
    const std::string next = SampleStream::folder("ts3", 60, 3);
    std::filesystem::create_directory_symlink(first, root / "e");
    std::filesystem::create_directory_symlink(next, root / "c");
    firstDigests = SegmentDigests::ofFolder(first);
    for (const auto& [path, digest] : SegmentDigests::ofFolder(next)) nextDigests.insert(digest);
    origin = std::make_unique<StreamOrigin>(root.string());
    ASSERT_TRUE(origin->running());

    configureLibrary();
    OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  }

  void TearDown() override {
    if (viewerP) viewerP->process().stop(SIGTERM, test::scaledWait(10s));
    cleanUpLibrary();
    OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
    std::filesystem::remove_all(root);
  }

  std::unique_ptr<ProxyManager> startManager(const std::string& videoID) {
    return EmbeddingApplication::startManager(videoID, "viewer-x");
  }
  Playback play(const ProxyManager& manager, const std::string& video) {
    return playThrough(localOf(manager, origin->url("/" + video + "/master.m3u8")), root.string());
  }
  // P plays E at four times real speed, so that it meets X while it plays.
  void startViewerP() {
    viewerP = startHostViewer("P", "/e/master.m3u8",
                              {"--speed", "4", "--digests", "--quiet", "--video-id", kFirstVideo,
                               "--client-id", "viewer-p", "--log-level", "3"});
  }
  // Every segment P played is E's file, whoever it came from.
  void expectViewerPPlayedTheFirstVideo() {
    const auto played = Clock::now() + test::scaledWait(120s);
    while (!viewerP->finished() && Clock::now() < played) viewerP->poll();
    ASSERT_TRUE(viewerP->finished()) << "P never played video E to its end";
    EXPECT_EQ(viewerP->row("result"), "played");
    viewerP->expectSegmentsMatch([this](const std::string& path) -> std::optional<std::string> {
      if (!path.starts_with("/e/")) return std::nullopt;
      const auto found = firstDigests.find(path.substr(2));
      if (found == firstDigests.end()) return std::nullopt;
      return found->second;
    });
    std::printf("P: %zu segments, %lld bytes from peers\n", viewerP->digests().size(),
                viewerP->number("bytes from peers"));
    if (::testing::Test::HasFailure()) viewerP->printLinesWith({"P2P", "PeerMessagesController"});
  }
  // X keeps none of C's segments under E's identifier, so it can upload none as E's.
  static void expectNoNextSegmentStoredAsTheFirst(const std::set<std::string>& next) {
    VideoStorage::shared()->waitUntilIdle();
    for (const auto& segment : VideoStorage::shared()->getSegments()) {
      if (segment->videoID() != kFirstVideo) continue;
      EXPECT_EQ(next.count(SegmentDigests::of(std::string(segment->data().view()))), 0u)
          << "segment " << segment->segmentInfo().segmentNumber()
          << " of video C is stored as video E's";
    }
  }

  std::map<std::string, std::string> firstDigests;
  std::set<std::string> nextDigests;
  std::unique_ptr<HostViewer> viewerP;
};

TEST_F(VideoSwitch, ViewersOfTheFirstVideoPlayOnlyItsSegmentsWhenTheNextTakesItsOwnManager) {
  auto manager = startManager(kFirstVideo);
  const Playback first = play(*manager, "e");
  EXPECT_EQ(first.failure, "");

  startViewerP();
  const auto started = Clock::now() + test::scaledWait(60s);
  while (viewerP->digests().size() < 3 && !viewerP->finished() && Clock::now() < started) {
    viewerP->poll();
  }
  // The documented switch, while P plays.
  manager->cleanup();
  ManifestManager::shared().cleanup();
  manager = startManager(kNextVideo);
  const Playback next = play(*manager, "c");
  EXPECT_EQ(next.failure, "");
  EXPECT_GT(next.segments, 0u);

  expectViewerPPlayedTheFirstVideo();
  expectNoNextSegmentStoredAsTheFirst(nextDigests);
  manager->cleanup();
}

TEST_F(VideoSwitch, AManagerKeptAcrossTheSwitchStopsSharingAndSaysSoOnce) {
  auto manager = startManager(kFirstVideo);
  const Playback first = play(*manager, "e");
  EXPECT_EQ(first.failure, "");

  // The retired switch: the same manager, so E's identifier, for video C.
  ::testing::internal::CaptureStdout();
  ManifestManager::shared().cleanup();
  const Playback next = play(*manager, "c");
  const Playback again = play(*manager, "c");
  const std::string logged = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(next.failure, "") << "its player is still served";
  EXPECT_EQ(again.failure, "");
  size_t told = 0;
  for (size_t at = logged.find("kept across"); at != std::string::npos;
       at = logged.find("kept across", at + 1)) {
    ++told;
  }
  EXPECT_EQ(told, 1u) << logged;
  expectNoNextSegmentStoredAsTheFirst(nextDigests);

  // P, a viewer of E, finds X in E's group holding whatever X stored under E.
  startViewerP();
  expectViewerPPlayedTheFirstVideo();
  manager->cleanup();
}

}  // namespace
}  // namespace ombrelia::test
