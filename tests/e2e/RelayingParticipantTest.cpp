// Three processes of the example host application play one stream. Once they are connected to
// one another, a participant of the tracker that only forwards signalling joins: it takes the
// first viewer's offer to it and hands it to the second as its own offer, and the second's
// answer and candidates back to the first as its own. The two viewers then build a real
// connection to each other, proving the same certificates as the one they already have, and each
// files it under the relaying participant, which then leaves. Someone who only forwards
// messages must not be able to cut two viewers apart this way: they keep their own connection
// and their subscriptions, and play the origin's bytes throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "support/HostViewer.hpp"
#include "support/OnDemandSwarm.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;

using RelayingParticipant = OnDemandSwarm;

bool printed(const HostViewer& viewer, const std::string& words) {
  return std::any_of(viewer.lines().begin(), viewer.lines().end(), [&](const std::string& line) {
    return line.find(words) != std::string::npos;
  });
}

// Viewers print identifiers in upper case.
std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

TEST_F(RelayingParticipant, ViewersKeepEachOtherWhenARelayBetweenThemLeaves) {
  // --stay keeps a viewer that has played to the end in the swarm until it is stopped.
  HostViewer first = startFirst("viewer-1", "2", {"--stay"});
  HostViewer second = start("viewer-2", "2", {"--stay"});
  HostViewer third = start("viewer-3", "2", {"--stay"});
  std::vector<HostViewer*> viewers{&first, &second, &third};
  ASSERT_TRUE(pollUntil(
      viewers, [](HostViewer& v) { return v.uuid() && v.listedPeers().size() == 2; }, 20s))
      << "the viewers never connected to one another";
  ASSERT_TRUE(pollUntil(
      viewers, [](HostViewer& v) { return v.channelsOpened() >= 2; }, 20s))
      << "the viewers' channels never opened";
  std::map<std::string, size_t> opened;
  for (HostViewer* v : viewers) opened[v->name()] = v->channelsOpened();

  const auto relayed = tracker->startRelaying(*first.uuid(), *second.uuid());
  ASSERT_TRUE(relayed) << "the relaying participant could not join";
  const std::string relay = upper(*relayed);
  std::vector<HostViewer*> pair{&first, &second};
  ASSERT_TRUE(pollUntil(
      pair, [&](HostViewer& v) { return printed(v, "add peer: " + relay); }, 20s))
      << "the relayed offer did not reach both viewers";
  // Either the viewers see through the relayed connection and drop it, or it takes the place of
  // their own, which is retired once idle.
  pollUntil(
      pair,
      [&](HostViewer& v) {
        return v.listedPeers().count(relay) == 0 || printed(v, "retired: superseded");
      },
      30s);
  for (HostViewer* v : pair) {
    EXPECT_GT(v->channelsOpened(), opened[v->name()])
        << v->name() << ": the relayed connection never opened, so nothing was tried";
  }
  ASSERT_TRUE(tracker->stopRelaying());

  // Each keeps the other, and the relayed connection is gone with its participant.
  pollUntil(
      pair,
      [&](HostViewer& v) {
        const HostViewer& other = &v == &first ? second : first;
        return v.listedPeers().count(*other.uuid()) == 1 && v.listedPeers().count(relay) == 0;
      },
      10s);
  for (HostViewer* v : pair) {
    SCOPED_TRACE(v->name());
    const HostViewer& other = v == &first ? second : first;
    EXPECT_EQ(v->listedPeers().count(*other.uuid()), 1u) << "lost " << other.name();
    EXPECT_EQ(v->listedPeers().count(relay), 0u) << "still lists the relaying participant";
  }
  for (HostViewer* v : viewers) {
    SCOPED_TRACE(v->name());
    EXPECT_FALSE(printed(*v, "retired: superseded")) << "a connection of its own was retired";
    EXPECT_FALSE(printed(*v, "subscription moved")) << "its subscription moved";
  }

  const long long fromPeers = expectEveryonePlayedTheOriginsBytes(
      viewers, {"retired", "moved", "remove peer", "add peer", "Received UUID", "relayed",
                "subscription"});
  EXPECT_GT(fromPeers, 0) << "no segment came from a peer";
}

}  // namespace
}  // namespace ombrelia::test
