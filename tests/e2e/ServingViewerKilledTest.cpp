// Three processes of the example host application play one stream through the test tracker.
// The viewer that serves the others is killed (SIGKILL) while it is sending them segments: the
// two left keep playing without a stall, and every segment their players got is the origin's
// file byte for byte.
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

class ServingViewerKilled : public OnDemandSwarm {};

TEST_F(ServingViewerKilled, OthersKeepPlayingTheOriginsBytesWithoutAStall) {
  HostViewer server = startFirst("viewer-1", "4");
  ASSERT_TRUE(server.uuid());
  HostViewer second = start("viewer-2", "4");
  HostViewer third = start("viewer-3", "4");

  // Killed as soon as it sends a segment to another viewer.
  const auto killDeadline = Clock::now() + test::scaledWait(40s);
  while (!server.uploading() && Clock::now() < killDeadline && !server.finished()) {
    server.poll(10ms);
    second.poll(10ms);
    third.poll(10ms);
  }
  ASSERT_TRUE(server.uploading()) << "the first viewer never served a segment";
  server.process().stop(SIGKILL, 10s);

  const auto deadline = Clock::now() + test::scaledWait(60s);
  while (Clock::now() < deadline && !(second.finished() && third.finished())) {
    second.poll();
    third.poll();
  }
  long long fromPeers = 0;
  for (HostViewer* v : {&second, &third}) {
    SCOPED_TRACE(v->name());
    ASSERT_TRUE(v->finished()) << "never finished";
    EXPECT_EQ(v->row("result"), "played");
    EXPECT_EQ(v->number("stalls"), 0) << "the player stalled after the serving viewer died";
    fromPeers += std::max(0LL, v->number("bytes from peers"));
    v->expectSegmentsMatch(originDigests);
    if (::testing::Test::HasFailure()) v->printLinesWith({"PeerMessagesController", "P2PUpload"});
  }
  std::printf("bytes from peers, both viewers: %lld\n", fromPeers);
  EXPECT_GT(fromPeers, 0) << "no segment came from a peer: the kill tested nothing";
  second.process().stop(SIGTERM, 10s);
  third.process().stop(SIGTERM, 10s);
}

}  // namespace
}  // namespace ombrelia::test
