// The signalling dispatcher and the group refresh, against a scripted transport and scripted
// peer connections.
#include <gtest/gtest.h>

#include <thread>

#include <ombrelia/OLoggerConfig.hpp>
#include <ombrelia/OmbreliaConfig.hpp>

#include "LogLines.hpp"
#include "peers/OmbreliaDecision.hpp"
#include "peers/PeerList.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/JsonReader.hpp"
#include "platform/MonotonicClock.hpp"
#include "signalling/SignalingClient.hpp"
#include "support/FakeDataChannel.hpp"
#include "support/FakePeerConnection.hpp"
#include "support/FakePeerConnectionFactory.hpp"
#include "support/RecordingWebSocket.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;

const Uuid kSelf = *Uuid::parse("11111111-2222-4333-8444-555555555555");
const Uuid kOther = *Uuid::parse("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");

std::string uuidMessage(const Uuid& uuid) {
  return R"({"type":"uuid","uuid":")" + uuid.uuidString() + R"("})";
}

class OmbreliaDecisionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OmbreliaConfig::configure("key");
    PeerConnectionFactory::overrideShared(factory);
    decision = OmbreliaDecision::create("video", "client", SignalingClient::create(socket));
  }
  void TearDown() override {
    PeerList::shared().removeAll();
    PeerConnectionFactory::overrideShared(nullptr);
  }
  Peer unconnectedPeer() { return Peer{Uuid::random(), 1.0, {}, {}, {}, {}, nullptr}; }
  size_t groupRequests() const { return socket->sentContaining("\"groupRequest\"").size(); }
  void ready() {
    socket->open();
    socket->receive(uuidMessage(kSelf));
  }
  void refresh() { decision->refreshGroupRequestIfNeeded(*Url::parse("http://o/s.ts"), video); }

  std::shared_ptr<test::RecordingWebSocket> socket = std::make_shared<test::RecordingWebSocket>();
  std::shared_ptr<test::FakePeerConnectionFactory> factory =
      std::make_shared<test::FakePeerConnectionFactory>();
  std::shared_ptr<OmbreliaDecision> decision;
  const SegmentInfo video{SegmentType::video, 800000, 2400000, std::string("640x360"), 1, 42, 6};
};

TEST_F(OmbreliaDecisionTest, ConnectsAtOnceAndAnnouncesItselfAtEveryOpening) {
  EXPECT_EQ(socket->connects(), 1);
  socket->open();
  socket->close();
  EXPECT_EQ(socket->connects(), 2) << "every close leads to one new connection";
  socket->open();
  EXPECT_EQ(socket->sentContaining("\"init\"").size(), 2u);
  EXPECT_NE(socket->sent().front().find("\"videoID\":\"video\""), std::string::npos);
}

TEST_F(OmbreliaDecisionTest, GroupRefreshFollowsItsRules) {
  socket->open();
  refresh();
  EXPECT_EQ(groupRequests(), 0u) << "no personal identifier yet";
  socket->receive(uuidMessage(kSelf));
  refresh();
  ASSERT_EQ(groupRequests(), 1u);
  EXPECT_NE(socket->sent().back().find("\"bitrate\":800000"), std::string::npos);
  EXPECT_NE(socket->sent().back().find("\"currentSegmentNumber\":42"), std::string::npos);
  platform::MonotonicClock::advance(24900ms);
  refresh();
  EXPECT_EQ(groupRequests(), 1u) << "within 25 s of the last request";
  platform::MonotonicClock::advance(100ms);
  refresh();
  EXPECT_EQ(groupRequests(), 2u) << "25.0 s exactly is enough";

  PeerList::shared().setPeers(
      {unconnectedPeer(), unconnectedPeer(), unconnectedPeer(), unconnectedPeer()});
  platform::MonotonicClock::advance(25s);
  refresh();
  EXPECT_EQ(groupRequests(), 3u) << "four peers still ask for more";
  auto five = PeerList::shared().peers();
  five.push_back(unconnectedPeer());
  PeerList::shared().setPeers(five);
  platform::MonotonicClock::advance(25s);
  refresh();
  EXPECT_EQ(groupRequests(), 3u) << "five peers are enough";
  EXPECT_TRUE(decision->canTryP2P(video));
  EXPECT_FALSE(decision->canTryP2P(SegmentInfo(SegmentType::unknown, 0, 0, {}, 0, 1, 0)));

  socket->close();
  PeerList::shared().setPeers({});
  platform::MonotonicClock::advance(25s);
  refresh();
  EXPECT_EQ(groupRequests(), 3u) << "nothing is sent while the socket is down";
}

TEST_F(OmbreliaDecisionTest, ConnectedPeerStopsTheRefresh) {
  ready();
  auto client = WebRTCClient::create({});
  ASSERT_TRUE(client);
  client->offer([](const SessionDescription&) {});
  auto channel = factory->last()->createdChannels().front();
  channel->deliverOpen();
  ASSERT_TRUE(client->isConnected());
  PeerList::shared().setPeers({Peer{kOther, 1.0, {}, {}, {}, {}, client}});
  refresh();
  EXPECT_EQ(groupRequests(), 0u);
  client->close();
}

TEST_F(OmbreliaDecisionTest, ConcurrentRefreshesSendOneRequest) {
  ready();
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i) threads.emplace_back([&] { refresh(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(groupRequests(), 1u);
}

TEST_F(OmbreliaDecisionTest, GroupResponseBeforeTheIdentifierIsDropped) {
  socket->open();
  const std::string group =
      R"({"type":"groupResponse","group":")" + Uuid::random().uuidString() +
      R"(","joinDate":1.0,"list":[{"uuid":")" + kOther.uuidString() +
      R"(","joinDate":1.0,"modification":"add","sameIP":false,"sameCountry":true,"sameRegion":false,"sameCity":false}],"sendableSegments":{}})";
  socket->receive(group);
  EXPECT_TRUE(PeerList::shared().peers().empty());
  socket->receive(uuidMessage(kSelf));
  socket->receive(group);
  EXPECT_EQ(PeerList::shared().peers().size(), 1u)
      << "the same list is applied once the id is known";
}

TEST_F(OmbreliaDecisionTest, ATrackerFloodWritesOneErrorLinePerCause) {
  const auto group = [](const std::string& modification) {
    return R"({"type":"groupResponse","group":")" + Uuid::random().uuidString() +
           R"(","joinDate":1.0,"list":[{"uuid":")" + Uuid::random().uuidString() +
           R"(","joinDate":1.0,"modification":")" + modification +
           R"(","sameIP":false,"sameCountry":true,"sameRegion":false,"sameCity":false}],"sendableSegments":{}})";
  };
  const auto offerFrom = [](const Uuid& peer) {
    return R"({"type":"transfer","remotePeerID":")" + kSelf.uuidString() + R"(","askingPeerID":")" +
           peer.uuidString() + R"(","description":{"type":"offer","sdp":"v=0\r\n"}})";
  };
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  // Lists before the identifier, items of a kind nobody knows, and offers from identifiers
  // without end while no connection can be made.
  socket->open();
  for (int i = 0; i < 200; ++i) socket->receive(group("add"));
  socket->receive(uuidMessage(kSelf));
  for (int i = 0; i < 200; ++i) socket->receive(group("Add"));
  factory->refuse(true);
  for (int i = 0; i < 200; ++i) socket->receive(offerFrom(Uuid::random()));
  const std::string out = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  EXPECT_TRUE(PeerList::shared().peers().empty());
  for (const char* cause : {"Assigned UUID is missing", "unhandled modification type",
                            "Could not create new RTCPeerConnection", "no connection for peer"})
    EXPECT_EQ(test::linesWith(out, {cause}).size(), 1u) << cause << "\n" << out.substr(0, 3000);
}

TEST_F(OmbreliaDecisionTest, SecondIdentifierReplacesBothCopies) {
  socket->receive(uuidMessage(kSelf));
  socket->receive(uuidMessage(kOther));
  EXPECT_EQ(decision->uuid(), kOther);
  EXPECT_EQ(PeerList::shared().personalUUID(), kOther);
}

TEST_F(OmbreliaDecisionTest, TransferCarryingBothObjectsAppliesTheDescriptionFirst) {
  ready();
  socket->receive(
      R"({"type":"transfer","remotePeerID":")" + kSelf.uuidString() + R"(","askingPeerID":")" +
      kOther.uuidString() +
      R"(","description":{"type":"offer","sdp":"v=0\r\n"},)"
      R"("candidate":{"candidate":"candidate:1 1 udp 1 127.0.0.1 9 typ host","sdpMid":"0","sdpMLineIndex":0}})");
  const auto peers = PeerList::shared().peers();
  ASSERT_EQ(peers.size(), 1u);
  EXPECT_EQ(peers[0].uuid, kOther);
  auto connection = factory->last();
  ASSERT_TRUE(connection);
  EXPECT_EQ(connection->remoteDescriptions().size(), 1u);
  // Had the candidate come first, it would have found no peer and been dropped.
  EXPECT_EQ(connection->remoteCandidates().size(), 1u);
}

TEST_F(OmbreliaDecisionTest, EachTextIsParsedOnceForAllSixReaders) {
  ready();
  const std::string transfer =
      R"({"type":"transfer","remotePeerID":")" + kSelf.lowercaseString() + R"(","askingPeerID":")" +
      kOther.lowercaseString() +
      R"(","description":{"type":"offer","sdp":"v=0\r\n"},"candidate":{"candidate":"c","sdpMLineIndex":0,"sdpMid":"0"}})";
  for (const std::string& text :
       {uuidMessage(kOther), transfer, std::string(R"({"type":"unknown"})"), std::string("{x")}) {
    const uint64_t before = platform::JsonReader::parsedTexts();
    socket->receive(text);
    EXPECT_EQ(platform::JsonReader::parsedTexts() - before, 1u) << text;
  }
}

}  // namespace
}  // namespace ombrelia
