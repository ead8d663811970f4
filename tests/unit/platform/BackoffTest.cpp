#include "platform/Backoff.hpp"

#include <gtest/gtest.h>

namespace ombrelia::platform {
namespace {

using namespace std::chrono_literals;

TEST(Backoff, FirstRetryIsImmediateThenGrowsWithinItsJitterUpToTheCapUntilReset) {
  Backoff backoff(Backoff::Settings{100ms, 1000ms, 2.0, 0.5});
  EXPECT_EQ(backoff.nextDelay(), 0ms);
  const std::chrono::milliseconds expected[] = {100ms, 200ms, 400ms, 800ms, 1000ms, 1000ms};
  for (auto full : expected) {
    auto delay = backoff.nextDelay();
    EXPECT_GE(delay, full / 2);
    EXPECT_LE(delay, full);
  }
  backoff.reset();
  EXPECT_EQ(backoff.nextDelay(), 0ms) << "a reset starts again with an immediate retry";
  EXPECT_GE(backoff.nextDelay(), 50ms);
}

TEST(Backoff, DefaultsCapAtThirtySecondsEvenAfterManyRetries) {
  Backoff backoff;
  std::chrono::milliseconds last{0};
  for (int i = 0; i < 10000; ++i) last = backoff.nextDelay();
  EXPECT_LE(last, 30000ms);
  EXPECT_GE(last, 15000ms);
}

TEST(Backoff, WithoutJitterTheDelaysAreExact) {
  Backoff backoff(Backoff::Settings{50ms, 30000ms, 3.0, 0.0});
  EXPECT_EQ(backoff.nextDelay(), 0ms);
  EXPECT_EQ(backoff.nextDelay(), 50ms);
  EXPECT_EQ(backoff.nextDelay(), 150ms);
  EXPECT_EQ(backoff.nextDelay(), 450ms);
}

}  // namespace
}  // namespace ombrelia::platform
