// Three processes of the example host application play one stream while the test tracker is
// killed and started again on its port, four times. Each restart gives every viewer a new
// identifier and introduces the viewers to one another again under their new ones, and a
// restarted tracker never names the old ones for deletion: the viewers must find out by
// themselves that the new connections reach the viewers they already had, keep one connection
// to each, hold no more descriptors than before, and play the origin's bytes throughout.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/HostViewer.hpp"
#include "support/OnDemandSwarm.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;

constexpr int kRestarts = 4;
// Descriptors a viewer may hold above what it held with its first connections: a player request
// in flight holds three (the player's socket, the proxy's, the origin fetch's). Every
// connection to a peer holds two, so the four restarts, keeping the connections made under the
// old identifiers, would add sixteen.
constexpr long long kDescriptorSlack = 8;

using TrackerRestart = OnDemandSwarm;

TEST_F(TrackerRestart, ViewersKeepOneConnectionToEachPeerAndPlayTheOriginsBytes) {
  // --stay keeps a viewer that has played to the end in the swarm until it is stopped.
  HostViewer first = startFirst("viewer-1", "2", {"--stay"});
  ASSERT_TRUE(first.uuid());
  HostViewer second = start("viewer-2", "2", {"--stay"});
  HostViewer third = start("viewer-3", "2", {"--stay"});
  std::vector<HostViewer*> viewers{&first, &second, &third};
  const size_t others = viewers.size() - 1;

  ASSERT_TRUE(pollUntil(
      viewers, [&](HostViewer& v) { return v.channelsOpened() >= others; }, 20s))
      << "the viewers never connected to one another";
  std::map<std::string, long long> baseline;
  for (HostViewer* v : viewers) baseline[v->name()] = v->openDescriptors();

  for (int restart = 1; restart <= kRestarts; ++restart) {
    SCOPED_TRACE("restart " + std::to_string(restart));
    std::map<std::string, std::pair<size_t, size_t>> before;
    for (HostViewer* v : viewers) before[v->name()] = {v->uuidCount(), v->channelsOpened()};
    ASSERT_TRUE(tracker->restart()) << "the tracker did not come back on its port";
    // Back with a new identifier, and connected again to each other viewer under the new ones.
    ASSERT_TRUE(pollUntil(
        viewers,
        [&](HostViewer& v) {
          const auto& [uuids, opened] = before[v.name()];
          return v.uuidCount() > uuids && v.channelsOpened() >= opened + others;
        },
        40s))
        << "the viewers did not meet again through the restarted tracker";
  }

  // One connection to each other viewer, once the replaced ones have been let go.
  // Waited for with a bound; the checks below say what is wrong.
  pollUntil(
      viewers, [&](HostViewer& v) { return v.listedPeers().size() == others; }, 20s);
  for (HostViewer* v : viewers) {
    SCOPED_TRACE(v->name());
    EXPECT_EQ(v->listedPeers().size(), others)
        << "peers listed after " << kRestarts << " restarts, for " << others << " viewers";
    EXPECT_LE(v->openDescriptors(), baseline[v->name()] + kDescriptorSlack)
        << "descriptors grew from " << baseline[v->name()];
  }

  const long long fromPeers = expectEveryonePlayedTheOriginsBytes(
      viewers, {"retired", "moved", "remove peer", "add peer", "Received UUID"});
  std::printf("bytes from peers, all viewers: %lld\n", fromPeers);
  EXPECT_GT(fromPeers, 0) << "no segment came from a peer: the restarts tested no transfer";
}

}  // namespace
}  // namespace ombrelia::test
