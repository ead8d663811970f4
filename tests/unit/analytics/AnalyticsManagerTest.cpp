#include <gtest/gtest.h>

#include <ombrelia/AnalyticsManager.hpp>
#include <ombrelia/OmbreliaConfig.hpp>

#include "analytics/AnalyticsService.hpp"
#include "proxy/BufferingController.hpp"

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

TEST_F(AnalyticsManagerTest, OwnsOneServiceForTheCustomerKey) {
  auto service = manager->getAnalyticsService();
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service, manager->getAnalyticsService());
  EXPECT_EQ(service->clientID(), "customer-key");
}

TEST_F(AnalyticsManagerTest, WithoutADelegateEveryQuestionAnswersZero) {
  EXPECT_EQ(manager->getPrebufferingDuration(), 0.0);
  EXPECT_EQ(manager->getLatency(), 0.0);
  player->prebuffered = 5.0;
  player->latency = 2.0;
  manager->setDelegate(player);
  EXPECT_EQ(manager->getPrebufferingDuration(), 5.0);
  EXPECT_EQ(manager->getLatency(), 2.0);
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

TEST(AnalyticsManagerDeathTest, CreatingBeforeConfigurationStopsTheProcess) {
  EXPECT_DEATH((void)AnalyticsManager::create(), "");
}

}  // namespace
}  // namespace ombrelia
