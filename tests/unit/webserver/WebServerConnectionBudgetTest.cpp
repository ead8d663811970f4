#include "webserver/core/WebServerConnectionBudget.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace ombrelia;
using namespace std::chrono_literals;

// A newcomer without room ends the waiters idle longest, and only once idle for the minimum; one
// that moved since goes last. The search follows the order kept as connections move: however many
// wait, it looks at those it ends and at the one that stops it.
TEST(WebServerConnectionBudget, EndsTheLongestIdleWaitersOnlyAndLooksAtNoOther) {
  constexpr size_t kWaiting = 10'000;
  constexpr uint64_t kShare = 8 * 1024;
  for (const auto minIdle : {std::chrono::milliseconds(1h), std::chrono::milliseconds(0)}) {
    WebServerConnectionBudget budget(kWaiting * kShare, minIdle);
    std::vector<std::unique_ptr<WebServerConnectionBudget::Holder>> holders;
    std::vector<int> ended(kWaiting, 0);
    for (size_t i = 0; i < kWaiting; ++i) {
      holders.push_back(std::make_unique<WebServerConnectionBudget::Holder>());
      holders.back()->onEnded = [&ended, i] { ++ended[i]; };
      ASSERT_TRUE(budget.tryTake(kShare));
      budget.beginWaiting(*holders.back(), kShare);
    }
    ASSERT_TRUE(budget.progressed(*holders[0]));  // now the most recent
    const bool idleEnough = minIdle == 0ms;
    for (int i = 0; i < 100; ++i) EXPECT_EQ(budget.tryTakeOrEndIdle(kShare), idleEnough);
    EXPECT_FALSE(budget.tryTake(1));  // an extra never ends anyone
    EXPECT_EQ(budget.holdersLookedAt(), 100u);
    EXPECT_EQ(budget.endedForRoom(), idleEnough ? 100u : 0u);
    EXPECT_EQ(budget.heldBytes(), kWaiting * kShare);
    for (size_t i = 0; i < kWaiting; ++i) {
      const bool shouldEnd = idleEnough && i >= 1 && i <= 100;
      EXPECT_EQ(ended[i], shouldEnd ? 1 : 0) << i;
      // One ended learns it on leaving, and must not give back the room it no longer holds.
      EXPECT_EQ(budget.endWaiting(*holders[i]), !shouldEnd) << i;
    }
  }
}
