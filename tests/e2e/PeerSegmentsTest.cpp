// Two processes of the example host application play one stream through their own proxies,
// meet through the test tracker, and the later one takes some of its segments from the earlier
// one over their data channel.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

#include "support/HostViewer.hpp"
#include "support/LocalTracker.hpp"
#include "support/SampleStream.hpp"
#include "support/SegmentDigests.hpp"
#include "support/StreamOrigin.hpp"

namespace ombrelia::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

TEST(PeerSegments, SecondViewerTakesSegmentsFromTheFirst) {
  LocalTracker tracker(/*groupAfterUuid=*/true);
  ASSERT_TRUE(tracker.url()) << "no tracker";
  const std::string folder = SampleStream::folder("ts3", 60, 2);
  StreamOrigin origin(folder);
  const auto originDigests = SegmentDigests::ofFolder(folder);
  ASSERT_FALSE(originDigests.empty());
  auto start = [&](const std::string& name) {
    return HostViewer(name, tracker.startHost("play", origin.url("/master.m3u8"),
                                              {"--speed", "6", "--client-id", name, "--quiet",
                                               "--log-level", "3", "--digests"}));
  };
  HostViewer first = start("viewer-1");
  const auto firstDeadline = Clock::now() + 10s;
  while (!first.uuid() && Clock::now() < firstDeadline) first.poll();
  ASSERT_TRUE(first.uuid()) << "the first viewer never got its identifier";
  HostViewer second = start("viewer-2");

  const auto deadline = Clock::now() + 40s;
  while (Clock::now() < deadline && !(first.finished() && second.finished())) {
    first.poll();
    second.poll();
  }
  ASSERT_TRUE(second.finished()) << "the second viewer never finished";
  EXPECT_EQ(second.row("result"), "played");
  std::printf("bytes from peers: %lld\n", second.number("bytes from peers"));
  EXPECT_GT(second.number("bytes from peers"), 0) << "no segment came from the first viewer";
  // Every segment the player got, those from the first viewer included, is the origin's file.
  second.expectSegmentsMatch(originDigests);
  if (::testing::Test::HasFailure())
    second.printLinesWith({"PeerMessagesController", "P2PUpload", "Decision"});
  first.process().stop(SIGTERM, 10s);
  second.process().stop(SIGTERM, 10s);
}

}  // namespace
}  // namespace ombrelia::test
