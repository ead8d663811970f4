#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "proxy/PlaylistWork.hpp"
#include "proxy/PlaylistWorkBudget.hpp"
#include "support/Waiter.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;

// Stages that ran, in order, as the budget let them.
struct Ran {
  test::Waiter waiter;
  std::vector<std::string> stages;

  std::function<void()> stage(const std::string& name) {
    return [this, name] {
      std::lock_guard lock(waiter.mutex());
      stages.push_back(name);
      waiter.notify();
    };
  }
  bool waitFor(const std::string& name) {
    return waiter.waitFor(5s, [&] {
      return std::find(stages.begin(), stages.end(), name) != stages.end();
    });
  }
  bool has(const std::string& name) {
    std::lock_guard lock(waiter.mutex());
    return std::find(stages.begin(), stages.end(), name) != stages.end();
  }
};

// However many players ask at once, playlist work holds no more than the budget, but for the
// oldest playlist, which never waits (so that works each holding part of the budget cannot wait
// on each other); a small playlist passes a large one that waits, within a reserve large ones
// leave; and whatever a work holds goes back when it is let go.
TEST(PlaylistWorkBudget, HoldsWorkWithinTheBudgetButForTheOldestAndLetsSmallOnesPass) {
  auto budget = PlaylistWorkBudget::create(
      {.maxBytes = 1000, .maxSmallPlaylistBytes = 50, .smallPlaylistReserve = 200});
  Ran ran;
  auto oldest = budget->begin();
  auto large = budget->begin();
  auto small = budget->begin();
  auto tooLargeForSmall = budget->begin();

  oldest->hold(1500, ran.stage("oldest"));  // past the budget on its own: it never waits
  ASSERT_TRUE(ran.has("oldest"));
  large->hold(300, ran.stage("large"));
  small->hold(40, ran.stage("small"));
  tooLargeForSmall->hold(60, ran.stage("medium"));
  EXPECT_FALSE(ran.has("large"));
  EXPECT_FALSE(ran.has("small")) << "nothing but the oldest may pass the budget";
  EXPECT_EQ(budget->bytesInFlight(), 1500u);

  // Large ones may use 800 of the 1000: past it, only a small playlist's stage goes, in the
  // reserve; one past a small playlist's size waits with the large ones.
  oldest->holdExactly(780);
  ASSERT_TRUE(ran.waitFor("small"));
  EXPECT_FALSE(ran.has("large"));
  EXPECT_FALSE(ran.has("medium"));
  EXPECT_EQ(budget->bytesInFlight(), 820u);

  // Let go, the oldest gives all it holds back; the next oldest never waits.
  oldest.reset();
  ASSERT_TRUE(ran.waitFor("large"));
  ASSERT_TRUE(ran.waitFor("medium"));
  EXPECT_EQ(budget->bytesInFlight(), 400u);
  EXPECT_EQ(budget->peakBytesInFlight(), 1500u);

  // A work whose player has gone stops waiting at once, without the bytes.
  large->hold(5000, ran.stage("never"));
  auto waiting = budget->begin();
  bool stopped = false;
  waiting->hold(900, [&] { stopped = true; });
  waiting->stopWaiting();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(waiting->held(), 0u);
  large.reset();
  small.reset();
  tooLargeForSmall.reset();
  waiting.reset();
  EXPECT_EQ(budget->bytesInFlight(), 0u);
}

// A fetch that finds no room pauses, and is told to ask again once room may have come.
TEST(PlaylistWorkBudget, RefusedFetchIsToldToAskAgainOnceThereIsRoom) {
  auto budget = PlaylistWorkBudget::create(
      {.maxBytes = 1000, .maxSmallPlaylistBytes = 0, .smallPlaylistReserve = 0});
  auto oldest = budget->begin();
  auto younger = budget->begin();
  ASSERT_TRUE(oldest->tryHold(990, [] {}));
  Ran ran;
  EXPECT_TRUE(younger->tryHold(10, ran.stage("unused")));
  EXPECT_FALSE(younger->tryHold(100, ran.stage("retry")));
  EXPECT_EQ(younger->held(), 10u) << "a refused piece is not counted";
  oldest->release(500);
  ASSERT_TRUE(ran.waitFor("retry"));
  EXPECT_TRUE(younger->tryHold(100, [] {}));
  EXPECT_EQ(budget->bytesInFlight(), 600u);
}

}  // namespace
}  // namespace ombrelia
