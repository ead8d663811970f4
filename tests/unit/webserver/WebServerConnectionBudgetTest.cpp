#include "webserver/core/WebServerConnectionBudget.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace ombrelia;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t kShare = 8 * 1024;

// Holders that each took a share of the budget and count how often they were ended.
struct Holders {
  explicit Holders(WebServerConnectionBudget& budget, size_t count) : ended(count, 0) {
    for (size_t i = 0; i < count; ++i) {
      all.push_back(std::make_unique<WebServerConnectionBudget::Holder>());
      all.back()->onEnded = [this, i] { ++ended[i]; };
      EXPECT_TRUE(budget.tryTake(kShare));
    }
  }
  std::vector<std::unique_ptr<WebServerConnectionBudget::Holder>> all;
  std::vector<int> ended;
};

}  // namespace

// A newcomer that finds no room takes it from the connection whose client moved nothing for
// longest, and from no other: one that moved since, or that waits on nobody but its own work,
// keeps its room; the one ended learns it, and its room is not counted twice.
TEST(WebServerConnectionBudget, EndsTheLongestIdleWaiterForANewcomerAndNoOther) {
  WebServerConnectionBudget budget(4 * kShare, 0ms);
  Holders holders(budget, 4);
  for (size_t i = 0; i < 3; ++i) budget.beginWaiting(*holders.all[i], kShare);
  // The fourth is busy with its request: it is in no order.
  ASSERT_TRUE(budget.progressed(*holders.all[0]));  // now the most recent

  EXPECT_TRUE(budget.tryTakeOrEndIdle(kShare));
  EXPECT_EQ(holders.ended, (std::vector<int>{0, 1, 0, 0}));
  EXPECT_FALSE(budget.endWaiting(*holders.all[1]));
  EXPECT_FALSE(budget.progressed(*holders.all[1]));
  EXPECT_EQ(budget.heldBytes(), 4 * kShare);

  EXPECT_TRUE(budget.tryTakeOrEndIdle(kShare));
  EXPECT_TRUE(budget.tryTakeOrEndIdle(kShare));
  EXPECT_EQ(holders.ended, (std::vector<int>{1, 1, 1, 0}));
  EXPECT_EQ(budget.endedForRoom(), 3u);
  // Only the busy one is left holding: nothing more to end.
  EXPECT_FALSE(budget.tryTakeOrEndIdle(kShare));
  EXPECT_EQ(holders.ended[3], 0);
  EXPECT_EQ(budget.heldBytes(), 4 * kShare);
  budget.give(kShare);  // the busy one ends
  EXPECT_TRUE(budget.tryTakeOrEndIdle(kShare));
}

// Idle but not yet for the minimum, or not waiting any more: the newcomer is refused and every
// holder keeps its room. An extra never ends anyone.
TEST(WebServerConnectionBudget, RefusesWhenNoWaiterHasBeenIdleForTheMinimum) {
  WebServerConnectionBudget budget(2 * kShare, 1h);
  Holders holders(budget, 2);
  budget.beginWaiting(*holders.all[0], kShare);
  budget.beginWaiting(*holders.all[1], kShare);
  ASSERT_TRUE(budget.endWaiting(*holders.all[1]));
  EXPECT_FALSE(budget.tryTakeOrEndIdle(kShare));
  EXPECT_FALSE(budget.tryTake(kShare));
  EXPECT_EQ(holders.ended, (std::vector<int>{0, 0}));
  EXPECT_TRUE(budget.endWaiting(*holders.all[0]));

  WebServerConnectionBudget quick(2 * kShare, 0ms);
  Holders idle(quick, 2);
  quick.beginWaiting(*idle.all[0], kShare);
  EXPECT_FALSE(quick.tryTake(1));
  EXPECT_EQ(idle.ended[0], 0);
  EXPECT_TRUE(quick.endWaiting(*idle.all[0]));
}

// Finding whom to end follows the order kept as connections move: however many wait, a search
// looks at the holders it ends and at the one that stops it, never at all of them.
TEST(WebServerConnectionBudget, LooksAtOneWaiterPerSearchHoweverManyWait) {
  constexpr size_t kWaiting = 10'000;
  WebServerConnectionBudget patient(kWaiting * kShare, 1h);
  Holders many(patient, kWaiting);
  for (auto& holder : many.all) patient.beginWaiting(*holder, kShare);
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(patient.tryTakeOrEndIdle(kShare));
  EXPECT_EQ(patient.holdersLookedAt(), 100u);
  for (auto& holder : many.all) EXPECT_TRUE(patient.endWaiting(*holder));

  WebServerConnectionBudget quick(kWaiting * kShare, 0ms);
  Holders idle(quick, kWaiting);
  for (auto& holder : idle.all) quick.beginWaiting(*holder, kShare);
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(quick.tryTakeOrEndIdle(kShare));
  EXPECT_EQ(quick.holdersLookedAt(), 100u);
  EXPECT_EQ(quick.endedForRoom(), 100u);
  for (size_t i = 0; i < kWaiting; ++i) {
    EXPECT_EQ(idle.ended[i], i < 100 ? 1 : 0) << i;
    EXPECT_EQ(quick.endWaiting(*idle.all[i]), i >= 100) << i;
  }
}
