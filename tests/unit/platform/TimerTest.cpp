#include "platform/Timer.hpp"

#include <gtest/gtest.h>

#include "platform/MonotonicClock.hpp"
#include "support/Latch.hpp"

using namespace ombrelia::platform;
using ombrelia::test::Latch;
using namespace std::chrono_literals;

TEST(Timer, RepeatingTimerFiresOncePerIntervalOfDrivenTime) {
  auto queue = DispatchQueue::create("timer");
  Latch fired;
  auto timer =
      Timer::scheduled({std::chrono::milliseconds(59s), true, queue}, [&] { fired.countDown(); });
  MonotonicClock::advance(58s);
  queue->drain();
  EXPECT_EQ(fired.count(), 0);
  MonotonicClock::advance(1s);
  ASSERT_TRUE(fired.waitFor(1, 5s));
  for (int i = 0; i < 4; ++i)
    MonotonicClock::advance(59s);
  ASSERT_TRUE(fired.waitFor(5, 5s));
  queue->drain();
  EXPECT_EQ(fired.count(), 5);
}

TEST(Timer, InvalidatedTimerNeverFiresAgain) {
  auto queue = DispatchQueue::create("timer");
  Latch fired;
  auto timer =
      Timer::scheduled({std::chrono::milliseconds(10s), true, queue}, [&] { fired.countDown(); });
  MonotonicClock::advance(10s);
  ASSERT_TRUE(fired.waitFor(1, 5s));
  timer->invalidate();
  EXPECT_FALSE(timer->isValid());
  MonotonicClock::advance(100s);
  queue->drain();
  EXPECT_EQ(fired.count(), 1);
}

TEST(Timer, DestroyingTheOwnersPointerCancelsTheTimer) {
  auto queue = DispatchQueue::create("timer");
  Latch fired;
  auto timer =
      Timer::scheduled({std::chrono::milliseconds(5s), true, queue}, [&] { fired.countDown(); });
  timer.reset();
  MonotonicClock::advance(60s);
  queue->drain();
  EXPECT_EQ(fired.count(), 0);
}

TEST(Timer, OneShotTimerFiresExactlyOnce) {
  auto queue = DispatchQueue::create("timer");
  Latch fired;
  auto timer =
      Timer::scheduled({std::chrono::milliseconds(1s), false, queue}, [&] { fired.countDown(); });
  MonotonicClock::advance(10s);
  ASSERT_TRUE(fired.waitFor(1, 5s));
  MonotonicClock::advance(10s);
  queue->drain();
  EXPECT_EQ(fired.count(), 1);
  EXPECT_FALSE(timer->isValid());
}

TEST(Timer, FiresInRealTimeToo) {
  Latch fired;
  auto timer = Timer::scheduled({20ms, true, nullptr}, [&] { fired.countDown(); });
  EXPECT_TRUE(fired.waitFor(3, 5s));
}

TEST(Timer, ReleasesWhatTheBlockCapturedWhenInvalidated) {
  auto captured = std::make_shared<int>(7);
  std::weak_ptr<int> weak = captured;
  auto timer = Timer::scheduled({1h, true, nullptr}, [captured] { (void)*captured; });
  captured.reset();
  EXPECT_FALSE(weak.expired());
  timer->invalidate();
  EXPECT_TRUE(weak.expired()) << "an owner captured by its timer would never be released";
}
