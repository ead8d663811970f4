// Two processes of the example host application play one stream through their own proxies,
// meet through the test tracker, and the later one takes some of its segments from the earlier
// one over their data channel.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

#include "support/HostViewer.hpp"
#include "support/OnDemandSwarm.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class PeerSegments : public OnDemandSwarm {};

TEST_F(PeerSegments, SecondViewerTakesSegmentsFromTheFirst) {
  HostViewer first = startFirst("viewer-1", "6");
  ASSERT_TRUE(first.uuid());
  HostViewer second = start("viewer-2", "6");

  const auto deadline = Clock::now() + test::scaledWait(40s);
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
