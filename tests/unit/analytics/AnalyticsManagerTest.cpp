#include <gtest/gtest.h>

#include <ombrelia/AnalyticsManager.hpp>
#include <ombrelia/OmbreliaConfig.hpp>

#include <nlohmann/json.hpp>

#include "analytics/AnalyticsService.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/MonotonicClock.hpp"
#include "proxy/BufferingController.hpp"
#include "proxy/SegmentURLHistory.hpp"
#include "signalling/PeerList.hpp"
#include "support/AnalyticsReportLog.hpp"

namespace ombrelia {
namespace {

class PlayerDelegate : public AnalyticsManagerProtocol {
 public:
  double prebuffered = 0;
  double latency = 0;
  double getPrebufferingDuration() override { return prebuffered; }
  double getLatency() override { return latency; }
};

// Each test runs in its own process, so configuring here starts from a fresh library.
class AnalyticsManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OmbreliaConfig::configure("customer-key");
    manager = AnalyticsManager::create();
  }

  std::shared_ptr<AnalyticsManager> manager;
  std::shared_ptr<PlayerDelegate> player = std::make_shared<PlayerDelegate>();
};

TEST_F(AnalyticsManagerTest, WithoutADelegateEveryQuestionAnswersZero) {
  EXPECT_EQ(manager->getPrebufferingDuration(), 0.0);
  EXPECT_EQ(manager->getLatency(), 0.0);
}

TEST_F(AnalyticsManagerTest, TrackBufferingFeedsThePlayersBufferToTheGate) {
  auto& gate = BufferingController::shared();
  manager->setDelegate(player);
  player->prebuffered = 5.0;
  EXPECT_FALSE(gate.bufferingIsOk()) << "the gate is closed until trackBuffering()";

  manager->trackBuffering();
  EXPECT_TRUE(gate.bufferingIsOk());
  EXPECT_EQ(gate.getBufferLength(), 5.0);
  player->prebuffered = 4.5;
  EXPECT_FALSE(gate.bufferingIsOk());
}

TEST_F(AnalyticsManagerTest, DelegateIsHeldWeakly) {
  manager->setDelegate(player);
  manager->trackBuffering();
  player->prebuffered = 10.0;
  EXPECT_TRUE(BufferingController::shared().bufferingIsOk());
  player.reset();
  EXPECT_EQ(manager->delegate(), nullptr);
  EXPECT_FALSE(BufferingController::shared().bufferingIsOk());
  EXPECT_EQ(BufferingController::shared().getBufferLength(), 0.0);
}

TEST_F(AnalyticsManagerTest, GateKeepsTheManagerWhileTrackingAndCleanupDetachesAny) {
  manager->setDelegate(player);
  player->prebuffered = 8.0;
  manager->trackBuffering();
  std::weak_ptr<AnalyticsManager> handle = manager;
  auto other = AnalyticsManager::create();
  manager.reset();
  ASSERT_TRUE(handle.expired());
  EXPECT_TRUE(BufferingController::shared().bufferingIsOk())
      << "the gate still asks the released manager's delegate";

  other->cleanup();
  EXPECT_EQ(BufferingController::shared().delegate(), nullptr)
      << "cleanup() on any manager detaches whatever the gate holds";
}

using platform::MonotonicClock;
using std::chrono::milliseconds;

TEST_F(AnalyticsManagerTest, StallLastsWholeSecondsFromItsLatestStart) {
  auto service = manager->getAnalyticsService();
  manager->calculateTotalBufferingTime();
  EXPECT_EQ(service->metrics().nbrStalls(), 0) << "no open stall: nothing recorded";

  manager->handleBuffering();
  MonotonicClock::advance(milliseconds(2900));
  manager->calculateTotalBufferingTime();
  auto metrics = service->metrics();
  EXPECT_EQ(metrics.nbrStalls(), 1);
  EXPECT_EQ(metrics.sec_rebuff, 2);
  EXPECT_EQ(metrics.isStalled(), 0);

  manager->handleBuffering();
  MonotonicClock::advance(milliseconds(4000));
  manager->handleBuffering();
  MonotonicClock::advance(milliseconds(1500));
  manager->calculateTotalBufferingTime();
  manager->calculateTotalBufferingTime();
  metrics = service->metrics();
  EXPECT_EQ(metrics.nbrStalls(), 3);
  EXPECT_EQ(metrics.sec_rebuff, 1) << "measured from the second start";

  manager->handleBuffering();
  MonotonicClock::advance(milliseconds(400));
  manager->calculateTotalBufferingTime();
  metrics = service->metrics();
  EXPECT_EQ(metrics.nbrStalls(), 4) << "a short stall is still a stall";
  EXPECT_EQ(metrics.sec_rebuff, 0);
  EXPECT_EQ(metrics.nbrStallsHTTP + metrics.nbrStallsP2P, 0) << "no segment completed yet";
  EXPECT_EQ(metrics.sec_rebuff_http + metrics.sec_rebuff_p2p, 0);
}

TEST_F(AnalyticsManagerTest, StallGoesToTheSourceOfTheEarliestCompletedSegment) {
  auto& history = SegmentURLHistory::shared();
  const auto first = *Url::parse("http://origin.test/seg1.ts");
  const auto second = *Url::parse("http://origin.test/seg2.ts");
  history.append(first, Decision::p2p);
  history.append(second, Decision::p2p);
  history.markCompleted(second, Decision::p2p);
  history.markCompleted(first, Decision::http);

  manager->handleBuffering();
  MonotonicClock::advance(milliseconds(3100));
  manager->calculateTotalBufferingTime();
  const auto metrics = manager->getAnalyticsService()->metrics();
  EXPECT_EQ(metrics.nbrStallsHTTP, 1);
  EXPECT_EQ(metrics.nbrStallsP2P, 0);
  EXPECT_EQ(metrics.sec_rebuff_http, 3);
  EXPECT_EQ(metrics.sec_rebuff_p2p, 0);
}

TEST_F(AnalyticsManagerTest, ReportsCarryTheApplicationsFigures) {
  test::AnalyticsReportLog log;
  PeerList::shared().setPersonalUUID(Uuid::random());
  player->prebuffered = 7.25;
  player->latency = 3.5;
  manager->setDelegate(player);
  manager->trackBuffering();
  manager->setStreamType("vod");
  MonotonicClock::advance(AnalyticsService::kReportInterval);
  platform::DispatchQueue::main()->sync([] {});
  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  const auto record = nlohmann::json::parse(entries[1].json)["data"];
  EXPECT_EQ(record["latency"], 3.5);
  EXPECT_EQ(record["current_buffer"], 7.25);
  EXPECT_EQ(record["stream_type"], "vod");
  EXPECT_EQ(nlohmann::json::parse(entries[1].json)["key"], "customer-key");
}

TEST_F(AnalyticsManagerTest, ReadOutsAreTheServicesTotals) {
  auto service = manager->getAnalyticsService();
  ASSERT_EQ(service, manager->getAnalyticsService()) << "one service for the manager's life";
  EXPECT_EQ(manager->getP2PPercent(), 0.0) << "nothing received yet";
  service->addManifestDataReceived(100);
  service->addMediaDataReceived(
      200, true, SegmentInfo(SegmentType::video, 1, 1, std::nullopt, 0, 1, 6.0), std::nullopt);
  service->addMediaDataReceived(
      100, false, SegmentInfo(SegmentType::video, 1, 1, std::nullopt, 0, 1, 6.0), PeerType::ip);
  service->addDataSent(1'000'000'000, PeerType::ip);
  EXPECT_EQ(manager->getDataCDN(), 300) << "playlists included";
  EXPECT_EQ(manager->getDataPeer(), 100);
  EXPECT_EQ(manager->getDataSent(), 1'000'000'000);
  EXPECT_DOUBLE_EQ(manager->getP2PPercent(), 0.25);
  EXPECT_EQ(manager->getEnergySavedInWh(), service->getEnergySavedInWh());
  EXPECT_NEAR(manager->getEnergySavedSentInWh(), 57.1, 1e-9);
  EXPECT_EQ(manager->getEnergySavedReceivedInWh(), service->getEnergySavedReceivedInWh());
  EXPECT_EQ(manager->getEnergySavedInLight(), 22.8);
  EXPECT_EQ(manager->getEnergySavedInCO2g(), 26.6);
  EXPECT_EQ(manager->getEnergySavedInWatercL(), 12.5);
  EXPECT_EQ(manager->getGreenScore(), service->getGreenScore());
}

TEST(AnalyticsManagerDeathTest, CreatingBeforeConfigurationStopsTheProcess) {
  EXPECT_DEATH((void)AnalyticsManager::create(), "");
}

}  // namespace
}  // namespace ombrelia
