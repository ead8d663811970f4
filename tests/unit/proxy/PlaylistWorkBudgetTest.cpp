#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "proxy/PlaylistWork.hpp"
#include "proxy/PlaylistWorkBudget.hpp"
#include "support/CpuTime.hpp"
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
    return waiter.waitFor(
        5s, [&] { return std::find(stages.begin(), stages.end(), name) != stages.end(); });
  }
  bool has(const std::string& name) {
    std::lock_guard lock(waiter.mutex());
    return std::find(stages.begin(), stages.end(), name) != stages.end();
  }
};

// A budget of 1,000 bytes with no small-playlist reserve, whose holders must move 1,000 bytes a
// second over `window` while another waits.
std::shared_ptr<PlaylistWorkBudget> endingBudget(std::chrono::milliseconds window) {
  return PlaylistWorkBudget::create({.maxBytes = 1000,
                                     .maxSmallPlaylistBytes = 0,
                                     .smallPlaylistReserve = 0,
                                     .minProgressBytesPerSecond = 1000,
                                     .progressWindow = window});
}

// However many players ask at once, the playlists in flight share the budget beside the oldest
// one, which takes what it needs and never waits (so that works each holding part of the budget
// cannot wait on each other); a small playlist passes large ones that wait, within a reserve the
// large ones leave; and whatever a work holds goes back when it is let go.
TEST(PlaylistWorkBudget, HoldsWorkWithinTheBudgetBesideTheOldestAndLetsSmallOnesPass) {
  auto budget = PlaylistWorkBudget::create(
      {.maxBytes = 1000, .maxSmallPlaylistBytes = 50, .smallPlaylistReserve = 200});
  Ran ran;
  auto oldest = budget->begin();
  auto large = budget->begin();
  auto waiting = budget->begin();
  auto small = budget->begin();
  auto medium = budget->begin();

  oldest->hold(1500, ran.stage("oldest"));  // past the budget on its own: it never waits
  ASSERT_TRUE(ran.has("oldest"));
  large->hold(790, ran.stage("large"));  // large ones may use 800 of the 1000 beside it
  ASSERT_TRUE(ran.has("large"));
  waiting->hold(300, ran.stage("waiting"));
  small->hold(40, ran.stage("small"));
  medium->hold(60, ran.stage("medium"));
  EXPECT_FALSE(ran.has("waiting"));
  EXPECT_TRUE(ran.has("small")) << "a small playlist waited behind a large one";
  EXPECT_FALSE(ran.has("medium")) << "past a small playlist's size it waits with the large ones";
  EXPECT_EQ(budget->bytesInFlight(), 2330u);

  // Let go, the oldest gives all it holds back; the next oldest never waits.
  oldest.reset();
  ASSERT_TRUE(ran.waitFor("waiting"));
  ASSERT_TRUE(ran.waitFor("medium"));
  EXPECT_EQ(budget->bytesInFlight(), 1190u);
  EXPECT_EQ(budget->peakBytesInFlight(), 2330u);

  // A work whose player has gone stops waiting at once, without the bytes.
  auto gone = budget->begin();
  bool stopped = false;
  gone->hold(900, [&] { stopped = true; });
  EXPECT_FALSE(stopped);
  gone->stopWaiting();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(gone->held(), 0u);
  for (auto* work : {&large, &waiting, &small, &medium, &gone}) work->reset();
  EXPECT_EQ(budget->bytesInFlight(), 0u);
}

// A fetch that finds no room pauses, and is told to ask again once room may have come.
TEST(PlaylistWorkBudget, RefusedFetchIsToldToAskAgainOnceThereIsRoom) {
  auto budget = PlaylistWorkBudget::create(
      {.maxBytes = 1000, .maxSmallPlaylistBytes = 0, .smallPlaylistReserve = 0});
  auto oldest = budget->begin();
  auto first = budget->begin();
  auto second = budget->begin();
  ASSERT_TRUE(oldest->tryHold(5000, [] {}));
  ASSERT_TRUE(first->tryHold(990, [] {}));
  Ran ran;
  EXPECT_TRUE(second->tryHold(10, ran.stage("unused")));
  EXPECT_FALSE(second->tryHold(100, ran.stage("retry")));
  EXPECT_EQ(second->held(), 10u) << "a refused piece is not counted";
  first->release(500);
  ASSERT_TRUE(ran.waitFor("retry"));
  EXPECT_TRUE(second->tryHold(100, [] {}));
  EXPECT_EQ(budget->bytesInFlight(), 5600u);
}

// The playlists of one origin hold at most its share beside the oldest, whatever room the budget
// has left: an origin whose bodies trickle or swell leaves the rest to the others, and it gets
// its room again as its playlists give theirs back.
TEST(PlaylistWorkBudget, OneOriginHoldsNoMoreThanItsShareBesideTheOldest) {
  auto budget = PlaylistWorkBudget::create({.maxBytes = 1000,
                                            .maxSmallPlaylistBytes = 0,
                                            .smallPlaylistReserve = 0,
                                            .maxOriginBytes = 400});
  const std::string greedy = "http://greedy.example:80";
  auto oldest = budget->begin(greedy);
  auto first = budget->begin(greedy);
  auto second = budget->begin(greedy);
  auto other = budget->begin("http://other.example:80");
  ASSERT_TRUE(oldest->tryHold(300, [] {})) << "the oldest counts in no share";
  ASSERT_TRUE(first->tryHold(350, [] {}));
  Ran ran;
  EXPECT_FALSE(second->tryHold(100, ran.stage("retry"))) << "an origin passed its share";
  EXPECT_TRUE(other->tryHold(350, [] {})) << "another origin found no room";
  EXPECT_EQ(budget->originBytesInFlight(greedy), 650u);
  first->release(300);
  ASSERT_TRUE(ran.waitFor("retry"));
  EXPECT_TRUE(second->tryHold(100, [] {}));
}

// An answer moves only as fast as its player reads: one read slowly neither keeps the oldest
// role, which would leave every large playlist after it waiting, nor counts in the budget the
// others share beyond its connection's share. Yet the oldest passes the budget only while
// answers beyond their shares hold no more than a budget's worth, so that slow readers cannot
// have one large playlist after another taken past it, nor many answers each within its share.
TEST(PlaylistWorkBudget, AnswerBeingWrittenHoldsNeitherTheOldestRoleNorMoreThanItsShare) {
  auto budget = PlaylistWorkBudget::create({.maxBytes = 1000,
                                            .maxSmallPlaylistBytes = 0,
                                            .smallPlaylistReserve = 0,
                                            .connectionShareBytes = 100});
  Ran ran;
  auto slowAnswer = budget->begin();
  auto large = budget->begin();
  auto next = budget->begin();
  slowAnswer->hold(900, ran.stage("rewritten"));
  ASSERT_TRUE(ran.has("rewritten"));
  slowAnswer->beginAnswer();

  large->hold(1500, ran.stage("large"));
  EXPECT_TRUE(ran.has("large")) << "a large playlist waited for an answer being written";
  next->hold(850, ran.stage("next"));
  EXPECT_TRUE(ran.has("next")) << "an answer counted past its connection's share";

  // Two answers now hold 2400: the oldest waits until they hold no more than a budget's worth
  // in all (beyond their shares was not enough: answers within their shares are as many as
  // players ask).
  large->beginAnswer();
  next->hold(2000, ran.stage("past the budget"));
  EXPECT_FALSE(ran.has("past the budget"));
  large->release(1300);
  EXPECT_EQ(budget->waitingWorks(), 1u) << "answers held 1100 in all, past the budget";
  large->release(100);
  ASSERT_TRUE(ran.waitFor("past the budget"));
  EXPECT_EQ(budget->bytesInFlight(), 3850u);
}

// A fetch that moves slowly, or stalls, keeps its room while nobody waits (it was ended below
// 16 KiB/s whatever the others did: a viewer on a 64 kbit/s link could not start a stream). Once
// another waits, the fetches that moved too little over the window are ended, the least
// progress first and only as many as the waiter needs; one moving well, one waiting itself and
// one whose fetch is over are left alone.
TEST(PlaylistWorkBudget, SlowFetchIsEndedOnlyWhileAnotherWaitsTheLeastProgressFirst) {
  auto budget = endingBudget(100ms);
  Ran endings;  // the fetches ended, in order
  auto& waiter = endings.waiter;
  auto& ended = endings.stages;
  auto endable = [&](const std::string& name) { return endings.stage(name); };
  auto oldest = budget->begin();
  auto stalled = budget->begin();
  auto trickling = budget->begin();
  auto moving = budget->begin();
  auto rewriting = budget->begin();
  ASSERT_TRUE(oldest->tryHold(10, [] {}));
  ASSERT_TRUE(stalled->tryHold(300, [] {}));
  ASSERT_TRUE(trickling->tryHold(300, [] {}));
  ASSERT_TRUE(moving->tryHold(300, [] {}));
  ASSERT_TRUE(rewriting->tryHold(100, [] {}));
  stalled->endWhileOthersWait(endable("stalled"));
  trickling->endWhileOthersWait(endable("trickling"));
  moving->endWhileOthersWait(endable("moving"));

  std::atomic<bool> running{true};
  std::mutex origins;  // guards `trickling`, let go while the origin thread runs
  std::thread origin([&] {
    while (running) {
      {
        std::lock_guard lock(origins);
        if (trickling) trickling->progressed(1);
      }
      moving->progressed(10'000);
      std::this_thread::sleep_for(10ms);
    }
  });
  // Nobody waits: nobody is held to a rate, however long.
  EXPECT_FALSE(waiter.waitFor(500ms, [&] { return !ended.empty(); }));

  Ran ran;
  auto next = budget->begin();
  next->hold(250, ran.stage("next"));
  EXPECT_FALSE(ran.has("next"));
  ASSERT_TRUE(waiter.waitFor(
      std::chrono::duration_cast<std::chrono::milliseconds>(5s * test::kSanitizerSlowdown),
      [&] { return !ended.empty(); }));
  // Its fetch ended, the work is let go as the loader would.
  stalled.reset();
  ASSERT_TRUE(ran.waitFor("next"));
  {
    std::lock_guard lock(waiter.mutex());
    EXPECT_EQ(ended, std::vector<std::string>{"stalled"}) << "not the least progress first";
  }

  // Another waiter: the trickling one goes now; the one moving well never does.
  auto last = budget->begin();
  last->hold(200, ran.stage("last"));
  ASSERT_TRUE(waiter.waitFor(
      std::chrono::duration_cast<std::chrono::milliseconds>(5s * test::kSanitizerSlowdown),
      [&] { return ended.size() == 2; }));
  {
    std::lock_guard lock(origins);
    trickling.reset();
  }
  ASSERT_TRUE(ran.waitFor("last"));
  running = false;
  origin.join();
  std::lock_guard lock(waiter.mutex());
  EXPECT_EQ(ended, (std::vector<std::string>{"stalled", "trickling"}));
}

// Fetches paused at their gate for room keep what room they hold while they wait, and move
// nothing: two such, beside an oldest that moves, kept a third playlist waiting for ever (live
// reloads behind an origin that sent 40 MiB bodies and stopped). Once the wait gets nowhere, the
// youngest of them gives its room back, ended as much as the first waiter lacks; one waiting
// alone, holding what nobody else waits for, is never ended.
TEST(PlaylistWorkBudget, FetchWaitingForRoomWhileHoldingSomeIsEndedOnceTheWaitGetsNowhere) {
  auto budget = endingBudget(20ms);
  Ran endings;  // the fetches ended, in order
  auto& waiter = endings.waiter;
  auto& ended = endings.stages;
  auto endable = [&](const std::string& name) { return endings.stage(name); };
  // The oldest is a fetch that moves well: it is never ended, and the others wait on it.
  auto oldest = budget->begin();
  ASSERT_TRUE(oldest->tryHold(10, [] {}));
  oldest->endWhileOthersWait(endable("oldest"));
  std::atomic<bool> running{true};
  std::thread origin([&] {
    while (running) {
      oldest->progressed(10'000);
      std::this_thread::sleep_for(5ms);
    }
  });
  Ran ran;
  auto older = budget->begin();
  auto younger = budget->begin();
  ASSERT_TRUE(older->tryHold(400, [] {}));
  ASSERT_TRUE(younger->tryHold(400, [] {}));
  older->endWhileOthersWait(endable("older"));
  EXPECT_FALSE(older->tryHold(300, ran.stage("older")));
  EXPECT_FALSE(waiter.waitFor(300ms, [&] { return !ended.empty(); }))
      << "ended while nobody else waited";

  younger->endWhileOthersWait(endable("younger"));
  EXPECT_FALSE(younger->tryHold(300, ran.stage("younger")));
  auto next = budget->begin();
  next->hold(250, ran.stage("next"));
  EXPECT_TRUE(waiter.waitFor(
      std::chrono::duration_cast<std::chrono::milliseconds>(5s * test::kSanitizerSlowdown),
      [&] { return !ended.empty(); }));
  // Its fetch ended, the work is let go as the loader would.
  younger.reset();
  EXPECT_TRUE(ran.waitFor("older"));
  EXPECT_TRUE(ran.waitFor("next"));
  running = false;
  origin.join();
  std::lock_guard lock(waiter.mutex());
  EXPECT_EQ(ended, std::vector<std::string>{"younger"});
}

// 1,200 playlists waiting behind a full budget, let in one by one: each admission used to look
// at every waiter, and at every work for each (27.9 s of CPU for 1,200). Each event now looks at
// those it admits and the first it cannot.
TEST(PlaylistWorkBudget, AdmissionLooksAtAFewWaitersPerEventHoweverManyWait) {
  constexpr size_t kWaiting = 1200;
  auto budget = PlaylistWorkBudget::create(
      {.maxBytes = kWaiting, .maxSmallPlaylistBytes = 0, .smallPlaylistReserve = 0});
  auto oldest = budget->begin();
  auto filling = budget->begin();
  ASSERT_TRUE(oldest->tryHold(1, [] {}));
  filling->holdExactly(kWaiting);
  std::atomic<size_t> admitted{0};
  std::vector<std::shared_ptr<PlaylistWork>> waiting;
  for (size_t n = 0; n < kWaiting; ++n) {
    waiting.push_back(budget->begin("http://origin" + std::to_string(n % 7) + ".example:80"));
    waiting.back()->hold(1, [&admitted] { ++admitted; });
  }
  ASSERT_EQ(budget->waitingWorks(), kWaiting);
  const uint64_t before = budget->admissionChecks();
  for (size_t n = 0; n < kWaiting; ++n) filling->release(1);
  EXPECT_EQ(budget->waitingWorks(), 0u);
  EXPECT_LE(budget->admissionChecks() - before, 3 * kWaiting)
      << "admissions looked at waiters they could not admit, again and again";
}

// 1,000 fetches holding room while they wait for an origin connection, and one that stalls,
// while another playlist waits: each window used to look at every holder. It now looks only at
// those that moved too little in it and wait for nothing; the others tell their own progress.
TEST(PlaylistWorkBudget, ProgressSweepLooksOnlyAtHoldersThatMovedTooLittleHoweverManyHold) {
  constexpr size_t kHolders = 1000;
  auto budget = PlaylistWorkBudget::create({.maxBytes = 2000,
                                            .maxSmallPlaylistBytes = 0,
                                            .smallPlaylistReserve = 0,
                                            .minProgressBytesPerSecond = 1000,
                                            .progressWindow = 20ms,
                                            .slowWindowsBeforeEnding = 2});
  test::Waiter waiter;
  bool stalledEnded = false;
  auto oldest = budget->begin();
  ASSERT_TRUE(oldest->tryHold(1, [] {}));
  std::vector<std::shared_ptr<PlaylistWork>> holders;
  for (size_t n = 0; n < kHolders; ++n) {
    holders.push_back(budget->begin());
    ASSERT_TRUE(holders.back()->tryHold(1, [] {}));
    holders.back()->endWhileOthersWait([] { ADD_FAILURE() << "a fetch awaiting a connection"; });
    holders.back()->awaitConnection(true);
  }
  auto stalled = budget->begin();
  ASSERT_TRUE(stalled->tryHold(900, [] {}));
  stalled->endWhileOthersWait([&] {
    std::lock_guard lock(waiter.mutex());
    stalledEnded = true;
    waiter.notify();
  });

  Ran ran;
  auto next = budget->begin();
  next->hold(200, ran.stage("next"));
  ASSERT_TRUE(waiter.waitFor(
      std::chrono::duration_cast<std::chrono::milliseconds>(5s * test::kSanitizerSlowdown),
      [&] { return stalledEnded; }));
  stalled.reset();
  ASSERT_TRUE(ran.waitFor("next"));
  // The stalled one, once a window until its second slow one; none of the others.
  EXPECT_LE(budget->progressChecks(), 4u);
}

}  // namespace
}  // namespace ombrelia
