#include "platform/DispatchQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/MonotonicClock.hpp"
#include "support/Latch.hpp"

using namespace ombrelia::platform;
using ombrelia::test::Latch;
using namespace std::chrono_literals;

TEST(DispatchQueue, SerialQueueRunsBlocksOneAtATimeInTheOrderOfEachProducer) {
  auto queue = DispatchQueue::create("serial");
  std::vector<std::vector<int>> seen(4);
  std::atomic<int> running{0};
  std::atomic<int> overlap{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        queue->async([&, t, i] {
          if (running.fetch_add(1) != 0)
            ++overlap;
          seen[t].push_back(i);
          running.fetch_sub(1);
        });
      }
    });
  }
  for (auto& p : producers)
    p.join();
  queue->drain();
  for (int t = 0; t < 4; ++t) {
    ASSERT_EQ(seen[t].size(), 500u);
    for (int i = 0; i < 500; ++i)
      ASSERT_EQ(seen[t][i], i) << "producer " << t;
  }
  EXPECT_EQ(overlap.load(), 0);
}

TEST(DispatchQueue, ConcurrentQueueRunsBlocksInParallel) {
  auto queue = DispatchQueue::create("concurrent", DispatchQueue::Kind::concurrent);
  // Two blocks that each wait for the other can only finish if they run at the same time.
  Latch arrived;
  Latch done;
  for (int i = 0; i < 2; ++i) {
    queue->async([&] {
      arrived.countDown();
      if (arrived.waitFor(2, 5s))
        done.countDown();
    });
  }
  EXPECT_TRUE(done.waitFor(2, 10s));
}

TEST(DispatchQueueConcurrency, BarrierWaitsForEarlierBlocksAndRunsAlone) {
  auto queue = DispatchQueue::create("rw", DispatchQueue::Kind::concurrent);
  std::atomic<int> readers{0};
  std::atomic<bool> barrierRunning{false};
  std::atomic<int> violations{0};
  std::atomic<int> readsBeforeBarrier{0};
  std::atomic<int> readsAfterBarrier{0};
  std::atomic<bool> barrierDone{false};
  for (int i = 0; i < 50; ++i) {
    queue->async([&] {
      readers.fetch_add(1);
      if (barrierRunning)
        ++violations;
      std::this_thread::yield();
      if (barrierDone)
        ++violations;  // queued before the barrier: must finish before it
      ++readsBeforeBarrier;
      readers.fetch_sub(1);
    });
  }
  queue->asyncBarrier([&] {
    barrierRunning = true;
    if (readers.load() != 0)
      ++violations;
    if (readsBeforeBarrier.load() != 50)
      ++violations;
    std::this_thread::sleep_for(2ms);
    if (readers.load() != 0)
      ++violations;
    barrierRunning = false;
    barrierDone = true;
  });
  for (int i = 0; i < 50; ++i) {
    queue->async([&] {
      if (!barrierDone)
        ++violations;  // queued after the barrier: must start after it
      ++readsAfterBarrier;
    });
  }
  queue->drain();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(readsAfterBarrier.load(), 50);
}

TEST(DispatchQueueConcurrency, ReadersAndBarrierWritersKeepSharedStateConsistent) {
  // The segment store's pattern: synchronous reads, writes as barriers.
  auto queue = DispatchQueue::create("store", DispatchQueue::Kind::concurrent);
  std::vector<int> list;  // guarded by the queue only
  std::vector<std::thread> threads;
  std::atomic<int> badReads{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        if (t % 2 == 0) {
          queue->asyncBarrier([&, i] { list.push_back(i); });
        } else {
          queue->sync([&] {
            int sum = 0;
            for (int v : list)
              sum += v >= 0 ? 1 : 0;
            if (sum != static_cast<int>(list.size()))
              ++badReads;
          });
        }
      }
    });
  }
  for (auto& t : threads)
    t.join();
  queue->drain();
  size_t size = 0;
  queue->sync([&] { size = list.size(); });
  EXPECT_EQ(size, 600u);
  EXPECT_EQ(badReads.load(), 0);
}

TEST(DispatchQueue, SyncRunsTheBlockBeforeReturningAndNestsOnTheSameSerialQueue) {
  auto queue = DispatchQueue::create("serial");
  int value = 0;
  queue->sync([&] {
    value = 1;
    queue->sync([&] { value = 2; });  // would deadlock if it waited for itself
  });
  EXPECT_EQ(value, 2);
  bool current = false;
  queue->sync([&] { current = queue->isCurrent(); });
  EXPECT_TRUE(current);
  EXPECT_FALSE(queue->isCurrent());
}

TEST(DispatchQueue, BlocksThatWaitOnEachOtherDoNotStarveThePool) {
  // Many blocks block on one event that a later block sets; the pool must grow to reach it.
  auto queue = DispatchQueue::create("blocking", DispatchQueue::Kind::concurrent);
  Latch release;
  Latch finished;
  for (int i = 0; i < 40; ++i) {
    queue->async([&] {
      release.waitFor(1, 10s);
      finished.countDown();
    });
  }
  DispatchQueue::global()->async([&] { release.countDown(); });
  EXPECT_TRUE(finished.waitFor(40, 15s));
}

TEST(DispatchQueue, AsyncAfterRunsOnceTheDrivenClockReachesTheDelay) {
  auto queue = DispatchQueue::create("delayed");
  Latch fired;
  std::vector<int> order;
  queue->asyncAfter(3600s, [&] {
    order.push_back(2);
    fired.countDown();
  });
  queue->asyncAfter(1800s, [&] {
    order.push_back(1);
    fired.countDown();
  });
  EXPECT_FALSE(fired.waitFor(1, 50ms));
  MonotonicClock::advance(1800s);
  ASSERT_TRUE(fired.waitFor(1, 5s));
  EXPECT_FALSE(fired.waitFor(2, 50ms));
  MonotonicClock::advance(1800s);
  ASSERT_TRUE(fired.waitFor(2, 5s));
  queue->drain();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(DispatchQueue, AsyncAfterWithRealTimeFires) {
  Latch fired;
  DispatchQueue::main()->asyncAfter(20ms, [&] { fired.countDown(); });
  EXPECT_TRUE(fired.waitFor(1, 5s));
}

TEST(DispatchQueue, QueuedBlocksStillRunAfterTheQueueIsReleased) {
  Latch ran;
  {
    auto queue = DispatchQueue::create("short-lived");
    for (int i = 0; i < 10; ++i)
      queue->async([&] { ran.countDown(); });
  }
  EXPECT_TRUE(ran.waitFor(10, 5s));
}
