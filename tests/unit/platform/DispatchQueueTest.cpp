#include "platform/DispatchQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/Latch.hpp"
#include "support/WaitScale.hpp"

using namespace ombrelia::platform;
using ombrelia::test::Latch;
using ombrelia::test::scaledWait;
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
      release.waitFor(1, scaledWait(10s));
      finished.countDown();
    });
  }
  DispatchQueue::global()->async([&] { release.countDown(); });
  EXPECT_TRUE(finished.waitFor(40, scaledWait(15s)));
}

TEST(DispatchQueue, QueuedBlocksStillRunAfterTheQueueIsReleased) {
  Latch ran;
  {
    auto queue = DispatchQueue::create("short-lived");
    for (int i = 0; i < 10; ++i)
      queue->async([&] { ran.countDown(); });
  }
  EXPECT_TRUE(ran.waitFor(10, scaledWait(5s)));
}
