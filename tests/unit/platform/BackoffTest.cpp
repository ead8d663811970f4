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

}  // namespace
}  // namespace ombrelia::platform
