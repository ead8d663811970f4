// A download controller whose tracker names a peer before the controller's construction has
// gone one step past connecting: the peer must still be offered to, and its messages must reach
// the controller's peer engine, or the video never gets a segment from it.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "analytics/AnalyticsService.hpp"
#include "p2p/PeerMessagesController.hpp"
#include "peers/PeerList.hpp"
#include "peers/WebRTCClient.hpp"
#include "proxy/DownloadController.hpp"
#include "proxy/P2PLoader.hpp"
#include "signalling/SignalingClient.hpp"
#include "support/FakePeerConnection.hpp"
#include "support/PeerListSandbox.hpp"
#include "support/RecordingWebSocket.hpp"

namespace ombrelia {
namespace {

const Uuid kSelf = *Uuid::parse("11111111-2222-4333-8444-555555555555");
const Uuid kOther = *Uuid::parse("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");

TEST(FastTracker, APeerNamedWhileTheControllerConnectsIsOfferedToAndTalksToItsEngine) {
  test::PeerListSandbox sandbox;
  auto socket = std::make_shared<test::RecordingWebSocket>();
  // The identifier and a group naming the other viewer, delivered within connect() itself.
  socket->onConnect([](test::RecordingWebSocket& tracker) {
    tracker.open();
    tracker.receive(R"({"type":"uuid","uuid":")" + kSelf.uuidString() + R"("})");
    tracker.receive(
        R"({"type":"groupResponse","group":")" + Uuid::random().uuidString() +
        R"(","joinDate":1.0,"list":[{"uuid":")" + kOther.uuidString() +
        R"(","joinDate":1.0,"modification":"add","sameIP":true,"sameCountry":true,"sameRegion":true,"sameCity":true}],"sendableSegments":{}})");
  });
  auto controller = DownloadController::create("video", "client", AnalyticsService::create("key"),
                                               nullptr, SignalingClient::create(socket));

  const auto peers = PeerList::shared().peers();
  ASSERT_EQ(peers.size(), 1u) << "the group's peer is not listed";
  ASSERT_TRUE(peers[0].webRTCClient);
  const auto connection = sandbox.factory().last();
  ASSERT_TRUE(connection);
  connection->deliverLocalDescription("v=0\r\no=offer\r\n");
  EXPECT_EQ(socket->sentContaining("\"type\":\"offer\"").size(), 1u) << "no offer went to the peer";
  EXPECT_EQ(peers[0].webRTCClient->delegate().get(),
            controller->p2pLoader()->peerMessagesController().get())
      << "the peer's messages go to no engine: it is never asked for a segment";
}

}  // namespace
}  // namespace ombrelia
