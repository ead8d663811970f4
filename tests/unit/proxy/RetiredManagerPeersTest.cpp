// A manager cleaned up for the next video: the peers its signalling connection negotiated leave
// the process's peer list, or the next video's manager would send no group request while they
// are listed, find its list filled with them, and ask them for segments whose answers reach
// nobody. The next manager is made before the last one is destroyed, so its peers must stay.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "analytics/AnalyticsService.hpp"
#include "peers/PeerList.hpp"
#include "peers/WebRTCClient.hpp"
#include "proxy/DownloadController.hpp"
#include "proxy/PluginActivator.hpp"
#include "signalling/SignalingClient.hpp"
#include "support/PeerListSandbox.hpp"
#include "support/RecordingWebSocket.hpp"

namespace ombrelia {
namespace {

std::string groupNaming(const Uuid& peer) {
  return R"({"type":"groupResponse","group":")" + Uuid::random().uuidString() +
         R"(","joinDate":1.0,"list":[{"uuid":")" + peer.uuidString() +
         R"(","joinDate":1.0,"modification":"add","sameIP":true,"sameCountry":true,"sameRegion":true,"sameCity":true}],"sendableSegments":{}})";
}

// One video's manager as ProxyManager builds it (the activator makes its controller at once),
// its tracker giving it its own identifier and naming `peer` as it connects.
struct Manager {
  Manager(const std::string& videoID, const Uuid& peer) {
    socket->onConnect([peer](test::RecordingWebSocket& tracker) {
      tracker.open();
      tracker.receive(R"({"type":"uuid","uuid":")" + Uuid::random().uuidString() + R"("})");
      tracker.receive(groupNaming(peer));
    });
    activator = PluginActivator::create(videoID, "client", AnalyticsService::create("key"),
                                        [videoID, signalling = SignalingClient::create(socket)] {
                                          return DownloadController::create(
                                              videoID, "client", AnalyticsService::create("key"),
                                              nullptr, signalling);
                                        });
  }

  std::shared_ptr<test::RecordingWebSocket> socket = std::make_shared<test::RecordingWebSocket>();
  std::shared_ptr<PluginActivator> activator;
};

std::vector<Uuid> listed() {
  std::vector<Uuid> uuids;
  for (const auto& peer : PeerList::shared().peers()) uuids.push_back(peer.uuid);
  return uuids;
}

TEST(RetiredManagerPeers, ARetiredManagersPeersLeaveTheListClosedAndItsLateGroupsListNone) {
  test::PeerListSandbox sandbox;
  Manager manager("first-video", Uuid::random());
  // Kept alive, as a request in flight keeps the controller after its manager's cleanup.
  const auto controller = manager.activator->downloadController();
  ASSERT_EQ(PeerList::shared().peers().size(), 1u) << "the group's peer is not listed";
  const auto client = PeerList::shared().peers()[0].webRTCClient;

  manager.activator->retire();
  EXPECT_EQ(listed(), std::vector<Uuid>{})
      << "the retired manager's peer is still listed: the next video would inherit it";
  EXPECT_TRUE(client->isClosed()) << "the retired manager's peer connection is left open";
  // The kept controller's signalling connection still hears its tracker.
  manager.socket->receive(groupNaming(Uuid::random()));
  EXPECT_EQ(listed(), std::vector<Uuid>{}) << "a retired manager's tracker still lists peers";
}

TEST(RetiredManagerPeers, TheNextVideosManagerMadeBeforeTheOldOneRetiresKeepsItsPeers) {
  test::PeerListSandbox sandbox;
  const Uuid old = Uuid::random();
  const Uuid next = Uuid::random();
  auto previous = std::make_unique<Manager>("first-video", old);
  // `manager = std::make_unique<ProxyManager>(next)`: the new one is made first.
  Manager current("second-video", next);
  ASSERT_EQ(listed(), (std::vector<Uuid>{old, next}));
  const auto client = PeerList::shared().peers()[1].webRTCClient;

  previous->activator->retire();
  previous.reset();
  EXPECT_EQ(listed(), std::vector<Uuid>{next}) << "the next video's peer went with the old manager";
  EXPECT_FALSE(client->isClosed()) << "the next video's peer connection was closed";
}

}  // namespace
}  // namespace ombrelia
