#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <ombrelia/OmbreliaConfig.hpp>

#include "analytics/AnalyticsService.hpp"
#include "peers/PeerList.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/DeviceModel.hpp"
#include "platform/Reachability.hpp"
#include "support/AnalyticsReportLog.hpp"
#include "support/FakePeerConnectionFactory.hpp"
#include "support/PeerListSandbox.hpp"

namespace ombrelia {
namespace {

using nlohmann::json;

SegmentInfo video() {
  return SegmentInfo(SegmentType::video, 800'000, 800'000, "1920x1080", 0, 1, 6.0);
}

// The connected sub-record follows the real peer list: a peer counts as connected while its
// WebRTC client's data channel is open.
class ConnectedPeerMetricsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Reachability::overrideFlags(platform::Reachability::kReachable);
    platform::DeviceModel::overrideIdentifier("iPhone14,2");
    PeerList::shared().setPersonalUUID(Uuid::random());
    client = WebRTCClient::create({}, factory);
    ASSERT_TRUE(client);
    client->offer([](const SessionDescription&) {});
    channel = factory.last()->createdChannels().back();
    Peer peer;
    peer.uuid = Uuid::random();
    peer.sameCity = true;
    peer.webRTCClient = client;
    Peer withoutClient;  // never counts as connected
    withoutClient.uuid = Uuid::random();
    PeerList::shared().setPeers({withoutClient, peer});
    service = AnalyticsService::create("key");
  }

  json report() {
    service->afterSleep();
    const auto entries = log.entries();
    return entries.empty() ? json::object() : json::parse(entries.back().json)["data"];
  }

  test::PeerListSandbox sandbox;
  test::FakePeerConnectionFactory factory;
  std::shared_ptr<WebRTCClient> client;
  std::shared_ptr<test::FakeDataChannel> channel;
  test::AnalyticsReportLog log;
  std::shared_ptr<AnalyticsService> service;
};

TEST_F(ConnectedPeerMetricsTest, OnlyFiguresTakenWhileAChannelIsOpenReachTheSubRecord) {
  service->addMediaDataReceived(4096, true, video(), std::nullopt);
  service->onBuffering(Decision::http);
  channel->deliverOpen();
  service->addMediaDataReceived(2048, false, video(), PeerType::city);
  service->segmentRequested("1280x720");
  service->segmentRequested("1920x1080");
  json record = report();
  const json connected = record["connected"];
  EXPECT_EQ(connected["MB_server"], 0) << "counted before the channel opened";
  EXPECT_EQ(connected["MB_peer"], 2);
  EXPECT_EQ(connected["MB_peer_city"], 2);
  EXPECT_EQ(connected["phone"]["MB_peer"], 2);
  EXPECT_EQ(connected["wifi"]["sec_peer"], 6);
  EXPECT_EQ(connected["qualities"]["FullHD"], 2);
  EXPECT_EQ(connected["nbrStalls"], 0) << "the stall began while no peer was connected";
  EXPECT_EQ(connected["nbrQualityChange"], 1);
  EXPECT_EQ(connected["isStalled"], 1) << "copied at the report";
  EXPECT_EQ(record["phone"]["MB_server"], 4);
  EXPECT_EQ(record["phone"]["MB_peer"], 2);

  channel->deliverClosed();
  service->addMediaDataReceived(2048, false, video(), PeerType::city);
  record = report();
  EXPECT_EQ(record["connected"]["MB_peer"], 0);
  EXPECT_EQ(record["connected"]["isStalled"], 0) << "nothing copied once the channel closed";
  EXPECT_EQ(record["MB_peer"], 2);
}

}  // namespace
}  // namespace ombrelia
