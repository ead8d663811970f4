#include <gtest/gtest.h>

#include <thread>

#include <ombrelia/AnalyticsManager.hpp>
#include <ombrelia/OmbreliaConfig.hpp>

#include "analytics/AnalyticsManagerAccess.hpp"
#include "analytics/AnalyticsService.hpp"
#include "platform/MonotonicClock.hpp"
#include "store/BufferingController.hpp"
#include "store/SegmentURLHistory.hpp"
#include "support/Latch.hpp"

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
  auto service = AnalyticsManagerAccess::getAnalyticsService(*manager);
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
  const auto metrics = AnalyticsManagerAccess::getAnalyticsService(*manager)->metrics();
  EXPECT_EQ(metrics.nbrStallsHTTP, 1);
  EXPECT_EQ(metrics.nbrStallsP2P, 0);
  EXPECT_EQ(metrics.sec_rebuff_http, 3);
  EXPECT_EQ(metrics.sec_rebuff_p2p, 0);
}

// Told outside the manager's lock, a start and an end from two threads could reach the service in
// the other order: the manager sees no open stall while the service keeps one, and every later
// record says the player is stalled.
TEST_F(AnalyticsManagerTest, StallStartAndEndFromTwoThreadsReachTheServiceInTheirOrder) {
  auto service = AnalyticsManagerAccess::getAnalyticsService(*manager);
  test::Latch startOnItsWay;
  test::Latch endDone;
  service->setOnBufferingHookForTesting([&] {
    startOnItsWay.countDown();
    // Gives the end every chance to overtake the start; in order, it cannot, and this wait
    // runs out.
    endDone.waitFor(1, std::chrono::seconds(2));
  });
  std::thread starter([&] { manager->handleBuffering(); });
  ASSERT_TRUE(startOnItsWay.waitFor(1));
  std::thread ender([&] {
    manager->calculateTotalBufferingTime();
    endDone.countDown();
  });
  starter.join();
  ender.join();
  service->setOnBufferingHookForTesting(nullptr);
  manager->calculateTotalBufferingTime();  // whatever is still open ends here
  EXPECT_FALSE(service->isStalled()) << "the stall stays open in every later record";
  EXPECT_EQ(service->metrics().nbrStalls(), 1);
}

TEST(AnalyticsManagerDeathTest, CreatingBeforeConfigurationStopsTheProcess) {
  EXPECT_DEATH((void)AnalyticsManager::create(), "");
}

}  // namespace
}  // namespace ombrelia
