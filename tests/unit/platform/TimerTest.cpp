#include "platform/Timer.hpp"

#include <gtest/gtest.h>

#include "platform/MonotonicClock.hpp"
#include "support/Latch.hpp"
#include "support/WaitScale.hpp"

using namespace ombrelia::platform;
using ombrelia::test::Latch;
using ombrelia::test::scaledWait;
using namespace std::chrono_literals;

// A timer on a queue of its own, counting its firings; time is driven with MonotonicClock.
class DrivenTimer : public ::testing::Test {
protected:
  std::shared_ptr<Timer> schedule(std::chrono::seconds interval, bool repeats) {
    return Timer::scheduled({std::chrono::milliseconds(interval), repeats, queue},
                            [this] { fired.countDown(); });
  }
  // Drives time on and returns the firings once the queue has run what came due.
  int after(std::chrono::seconds driven) {
    MonotonicClock::advance(driven);
    queue->drain();
    return fired.count();
  }

  std::shared_ptr<DispatchQueue> queue = DispatchQueue::create("timer");
  Latch fired;
};

TEST_F(DrivenTimer, RepeatingTimerFiresOncePerIntervalOfDrivenTime) {
  auto timer = schedule(59s, true);
  EXPECT_EQ(after(58s), 0);
  MonotonicClock::advance(1s);
  ASSERT_TRUE(fired.waitFor(1, scaledWait(5s)));
  for (int i = 0; i < 4; ++i)
    MonotonicClock::advance(59s);
  ASSERT_TRUE(fired.waitFor(5, scaledWait(5s)));
  EXPECT_EQ(after(0s), 5);
}

TEST_F(DrivenTimer, InvalidatedTimerNeverFiresAgain) {
  auto timer = schedule(10s, true);
  MonotonicClock::advance(10s);
  ASSERT_TRUE(fired.waitFor(1, scaledWait(5s)));
  timer->invalidate();
  EXPECT_FALSE(timer->isValid());
  EXPECT_EQ(after(100s), 1);
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
