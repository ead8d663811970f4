// Negotiation through the signalling client: offers, answers, candidate bursts and late
// candidates, and the removal of peers whose connection is lost or never opens.
#include <gtest/gtest.h>

#include <utility>

#include <ombrelia/OmbreliaConfig.hpp>

#include "p2p/PeerMessagesController.hpp"
#include "peers/IceCandidate.hpp"
#include "peers/PeerList.hpp"
#include "peers/SessionDescription.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/JsonReader.hpp"
#include "platform/MonotonicClock.hpp"
#include "platform/NotificationCenter.hpp"
#include "protocol/GroupListItem.hpp"
#include "signalling/SignalingClient.hpp"
#include "support/FakeDataChannel.hpp"
#include "support/FakePeerConnection.hpp"
#include "support/FakePeerConnectionFactory.hpp"
#include "support/RecordingWebSocket.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;

class PeerConnectionControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OmbreliaConfig::configure("key");
    PeerConnectionFactory::overrideShared(factory);
    engine = PeerMessagesController::create(SignalingClient::create(socket), nullptr);
  }
  void TearDown() override {
    PeerList::shared().removeAll();
    PeerConnectionFactory::overrideShared(nullptr);
  }

  // A peer named by a group response: this side offers to it.
  std::shared_ptr<test::FakePeerConnection> addOfferedPeer(const Uuid& uuid) {
    PeerList::shared().addPeer(GroupListItem("add", uuid, 1.0, false, true, false, false));
    auto connection = factory->last();
    EXPECT_TRUE(connection);
    return connection;
  }
  std::vector<std::string> candidatesSent() const {
    return socket->sentContaining("\"candidate\":{");
  }
  bool listed(const Uuid& uuid) const {
    for (const auto& peer : PeerList::shared().peers()) {
      if (peer.uuid == uuid) return true;
    }
    return false;
  }

  std::shared_ptr<test::RecordingWebSocket> socket = std::make_shared<test::RecordingWebSocket>();
  std::shared_ptr<test::FakePeerConnectionFactory> factory =
      std::make_shared<test::FakePeerConnectionFactory>();
  std::shared_ptr<PeerMessagesController> engine;
  const Uuid remote = *Uuid::parse("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");
};

TEST_F(PeerConnectionControllerTest, OfferThenCandidateBurstInOrderThenLateCandidatesOneByOne) {
  auto connection = addOfferedPeer(remote);
  connection->deliverLocalDescription("v=0\r\no=offer\r\n");
  const auto offers = socket->sentContaining("\"description\":{");
  ASSERT_EQ(offers.size(), 1u);
  EXPECT_NE(offers[0].find("\"type\":\"offer\""), std::string::npos);
  EXPECT_NE(offers[0].find(remote.lowercaseString()), std::string::npos);

  for (int i = 1; i <= 3; ++i) {
    connection->deliverLocalCandidate(
        "candidate:" + std::to_string(i) + " 1 udp 1 127.0.0.1 9 typ host", "0");
  }
  EXPECT_TRUE(candidatesSent().empty()) << "candidates wait for the burst";
  // The remote answer arrives: the burst goes out, in gathering order.
  PeerList::shared().updateUserRemoteSdp(SessionDescription("v=0\r\no=answer\r\n", SdpType::answer),
                                         remote);
  auto sent = candidatesSent();
  ASSERT_EQ(sent.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(sent[i].find("candidate:" + std::to_string(i + 1) + " 1 udp"), std::string::npos);
    EXPECT_NE(sent[i].find("\"sdpMid\":\"0\""), std::string::npos);
  }
  // A candidate found after the burst is sent at once, and only once.
  connection->deliverLocalCandidate("candidate:4 1 udp 1 127.0.0.1 10 typ host", "0");
  sent = candidatesSent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_NE(sent[3].find("candidate:4 1 udp"), std::string::npos);
}

TEST_F(PeerConnectionControllerTest,
       AnsweringSideSendsItsAnswerAndItsBurstAtTheFirstRemoteCandidate) {
  PeerList::shared().updateUserRemoteSdp(SessionDescription("v=0\r\no=offer\r\n", SdpType::offer),
                                         remote);
  auto connection = factory->last();
  ASSERT_TRUE(connection);
  connection->deliverLocalDescription("v=0\r\no=answer\r\n");
  const auto answers = socket->sentContaining("\"description\":{");
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_NE(answers[0].find("\"type\":\"answer\""), std::string::npos);
  connection->deliverLocalCandidate("candidate:1 1 udp 1 127.0.0.1 9 typ host", "0");
  PeerList::shared().updateUserRemoteCandidate(
      IceCandidate("candidate:9 1 udp 1 127.0.0.1 99 typ host", 0, std::string("0")), remote);
  EXPECT_EQ(candidatesSent().size(), 1u);
  PeerList::shared().updateUserRemoteCandidate(
      IceCandidate("candidate:8 1 udp 1 127.0.0.1 98 typ host", 0, std::string("0")), remote);
  EXPECT_EQ(candidatesSent().size(), 1u) << "later remote candidates send nothing more";
}

TEST_F(PeerConnectionControllerTest, DescriptionsTheConnectionRefusesAreFollowedByNothing) {
  auto connection = addOfferedPeer(remote);
  connection->deliverLocalDescription("v=0\r\no=offer\r\n");
  for (int i = 1; i <= 3; ++i) {
    connection->deliverLocalCandidate(
        "candidate:" + std::to_string(i) + " 1 udp 1 127.0.0.1 9 typ host", "0");
  }
  const SessionDescription answer("v=0\r\no=answer\r\n", SdpType::answer);
  PeerList::shared().updateUserRemoteSdp(answer, remote);
  ASSERT_EQ(candidatesSent().size(), 3u);
  // Negotiated: the framework refuses every later description, and a repeated answer must not
  // bring the candidates back.
  connection->refuseDescriptions(true);
  for (int i = 0; i < 200; ++i) PeerList::shared().updateUserRemoteSdp(answer, remote);
  EXPECT_EQ(candidatesSent().size(), 3u) << "refused answers sent the candidates again";

  // An offer the framework refuses is answered by nothing, and nobody is listed for it.
  factory->refuseDescriptions(true);
  const Uuid other = Uuid::random();
  PeerList::shared().updateUserRemoteSdp(SessionDescription("not sdp", SdpType::offer), other);
  ASSERT_TRUE(factory->connections().back().expired()) << "its connection was kept";
  EXPECT_FALSE(listed(other));
  EXPECT_TRUE(socket->sentContaining("\"type\":\"answer\"").empty());
}

TEST_F(PeerConnectionControllerTest, LostStatesRemoveThePeerAndOthersDoNot) {
  for (int state = 0; state <= 5; ++state) {
    const Uuid uuid = Uuid::random();
    auto connection = addOfferedPeer(uuid);
    ASSERT_TRUE(listed(uuid));
    connection->deliverState(static_cast<datachannel::DCIceState>(state));
    EXPECT_EQ(listed(uuid), state < 3) << "state " << state;
  }
}

TEST_F(PeerConnectionControllerTest, LostConnectionRemovesItsOwnPeerNotTheNewOfferOfTheSameId) {
  auto lost = addOfferedPeer(remote);
  // The same peer's new offer lands while the lost one is being removed: the departure notice
  // is the moment a tracker's relay would reach the list in between.
  bool offered = false;
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      PeerList::kPeerDisconected, [&](const platform::Notification&) {
        if (std::exchange(offered, true)) return;
        PeerList::shared().updateUserRemoteSdp(
            SessionDescription("v=0\r\no=offer\r\n", SdpType::offer), remote);
      });
  lost->deliverState(datachannel::DCIceState::failed);
  ASSERT_TRUE(offered);
  const auto peers = PeerList::shared().peers();
  ASSERT_EQ(peers.size(), 1u) << "the fresh connection was removed with the lost one";
  EXPECT_EQ(peers[0].uuid, remote);
  ASSERT_TRUE(peers[0].webRTCClient);
  EXPECT_FALSE(peers[0].webRTCClient->isClosed());
  EXPECT_NE(factory->last(), lost);
}

TEST_F(PeerConnectionControllerTest, BothSidesOfferingAtOnceLeaveOneAnsweringConnection) {
  // This side offers to the peer; the peer's own offer crosses it on the way.
  std::weak_ptr<test::FakePeerConnection> offering = addOfferedPeer(remote);
  offering.lock()->deliverLocalDescription("v=0\r\no=ours\r\n");
  ASSERT_EQ(socket->sentContaining("\"type\":\"offer\"").size(), 1u);
  PeerList::shared().updateUserRemoteSdp(SessionDescription("v=0\r\no=theirs\r\n", SdpType::offer),
                                         remote);
  auto answering = factory->last();
  ASSERT_TRUE(answering);
  answering->deliverLocalDescription("v=0\r\no=answer\r\n");
  EXPECT_EQ(socket->sentContaining("\"type\":\"answer\"").size(), 1u);
  EXPECT_TRUE(offering.expired()) << "the crossed offer's connection was kept";

  // The peer's answer to our crossed offer arrives late: it lands on the one listed connection,
  // whose framework refuses it, and nothing else is created or sent.
  PeerList::shared().updateUserRemoteSdp(SessionDescription("v=0\r\no=late\r\n", SdpType::answer),
                                         remote);
  const auto peers = PeerList::shared().peers();
  ASSERT_EQ(peers.size(), 1u);
  EXPECT_EQ(peers[0].uuid, remote);
  EXPECT_EQ(factory->last(), answering);
  EXPECT_EQ(socket->sentContaining("\"type\":\"offer\"").size(), 1u);

  // The connection never opens: the bound removes it, so the next group list can start over.
  platform::MonotonicClock::advance(PeerConnectionController::kChannelOpenTimeout);
  platform::DispatchQueue::global()->drain();
  EXPECT_FALSE(listed(remote));
}

TEST_F(PeerConnectionControllerTest, PeerWhoseChannelNeverOpensIsRemovedAfterTheBound) {
  auto silent = addOfferedPeer(remote);
  const Uuid other = Uuid::random();
  auto opened = addOfferedPeer(other);
  opened->createdChannels().front()->deliverOpen();
  platform::MonotonicClock::advance(PeerConnectionController::kChannelOpenTimeout - 1s);
  platform::DispatchQueue::global()->drain();
  EXPECT_TRUE(listed(remote));
  platform::MonotonicClock::advance(1s);
  platform::DispatchQueue::global()->drain();
  EXPECT_FALSE(listed(remote)) << "never opened: treated as failed";
  EXPECT_TRUE(listed(other)) << "an open channel is kept";
}

TEST_F(PeerConnectionControllerTest, PeerTextsReachTheEightReadersParsedOnce) {
  auto connection = addOfferedPeer(remote);
  auto channel = connection->createdChannels().front();
  channel->deliverOpen();
  const std::string stop =
      R"({"type":"fileRequestStop","requestID":")" + Uuid::random().uuidString() + R"("})";
  for (const std::string& text : {stop, std::string(R"({"type":"nobody"})"), std::string("[1]")}) {
    const uint64_t before = platform::JsonReader::parsedTexts();
    channel->deliverText(text);
    EXPECT_EQ(platform::JsonReader::parsedTexts() - before, 1u) << text;
  }
}

}  // namespace
}  // namespace ombrelia
