// Three processes of the example host application play one live stream, each through its own
// proxy, meeting through the test tracker: every segment they receive is the origin's, byte for
// byte; the later viewers take some of theirs from peers; nobody stalls.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <set>

#include "support/HostViewer.hpp"
#include "support/LiveOrigin.hpp"
#include "support/LocalTracker.hpp"
#include "support/SegmentDigests.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// About a minute of media per viewer, in 4 s segments: a player starts three segments behind
// the live edge, so it holds 8 to 12 s of media, over the library's buffer gate for peer
// requests, while the next segment appears.
constexpr int kSegmentSeconds = 4;
constexpr const char* kMediaSeconds = "60";
constexpr auto kStagger = 3s;

TEST(LiveViewers, ThreeViewersPlayTheOriginsSegmentsWithPeerHelpAndNoStall) {
  LiveOrigin origin(LiveOrigin::Settings{.segmentSeconds = kSegmentSeconds});
  ASSERT_TRUE(origin.running()) << "the live origin did not start";
  ASSERT_TRUE(origin.waitForSegments(3, test::scaledWait(60s)))
      << "the encoder wrote no three segments";
  LocalTracker tracker(/*groupAfterUuid=*/true);
  ASSERT_TRUE(tracker.url()) << "no tracker";

  std::vector<HostViewer> viewers;
  auto pollAll = [&] {
    for (auto& v : viewers) v.poll();
  };
  for (size_t i = 0; i < 3; ++i) {
    const std::string name = "live-" + std::to_string(i + 1);
    viewers.emplace_back(
        name, tracker.startHost("play", origin.url("/master.m3u8"),
                                {"--seconds", kMediaSeconds, "--digests", "--quiet", "--client-id",
                                 name, "--log-level", "3"}));
    auto& v = viewers.back();
    const auto uuidDeadline = Clock::now() + test::scaledWait(30s);
    while (!v.uuid() && Clock::now() < uuidDeadline) pollAll();
    ASSERT_TRUE(v.uuid()) << name << " never got its identifier";
    // The next viewer comes a few seconds later, as viewers of an event do.
    const auto nextStart = Clock::now() + kStagger;
    while (i + 1 < 3 && Clock::now() < nextStart) pollAll();
  }
  // A minute of media in real time, plus the start and generous room for a loaded machine.
  const auto deadline = Clock::now() + 200s;
  auto allFinished = [&] {
    return std::all_of(viewers.begin(), viewers.end(), [](auto& v) { return v.finished(); });
  };
  while (!allFinished() && Clock::now() < deadline) pollAll();

  long long laterFromPeers = 0;
  for (size_t i = 0; i < viewers.size(); ++i) {
    const auto& v = viewers[i];
    SCOPED_TRACE(v.name());
    ASSERT_TRUE(v.finished()) << "never finished";
    EXPECT_EQ(v.row("result"), "played");
    EXPECT_EQ(v.row("stream"), "live");
    EXPECT_EQ(v.number("stalls"), 0) << "the player's buffer ran dry";
    EXPECT_EQ(v.number("segments missed"), 0);
    EXPECT_GE(std::stod(v.row("media seconds played").value_or("0")), 60.0);
    EXPECT_EQ(v.number("segments"), static_cast<long long>(v.digests().size()));
    std::set<std::string> seen;
    for (const auto& [path, digest] : v.digests())
      EXPECT_TRUE(seen.insert(path).second) << path << " was requested twice";
    v.expectSegmentsMatch([&](const std::string& path) -> std::optional<std::string> {
      const auto original = origin.file(path);
      if (!original) return std::nullopt;
      return SegmentDigests::of(*original);
    });
    if (i > 0) laterFromPeers += std::max(0LL, v.number("bytes from peers"));
    std::printf("%s: %lld segments, %lld bytes from origin, %lld from peers\n", v.name().c_str(),
                v.number("segments"), v.number("bytes from origin"), v.number("bytes from peers"));
  }
  // A viewer's first segments come from the origin while its buffer fills; later ones, which
  // another viewer already holds, may come from peers. Viewers of a live stream want each new
  // segment at about the same moment, so which of them asks first, and takes it from the
  // origin, changes from run to run: the later viewers together must have taken some from peers.
  EXPECT_GT(laterFromPeers, 0) << "the later viewers took no segment from peers";
  for (auto& v : viewers) v.process().stop(SIGTERM, 10s);
}

}  // namespace
}  // namespace ombrelia::test
