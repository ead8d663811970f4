// Operations, the operation queue and the counting semaphore with a timed wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/Operation.hpp"
#include "platform/OperationQueue.hpp"
#include "platform/Semaphore.hpp"
#include "support/CountdownLatch.hpp"
#include "support/Latch.hpp"

namespace ombrelia::platform {
namespace {

using namespace std::chrono_literals;

// Counts its runs and, when given a gate, waits on it inside main().
class CountingOperation : public Operation {
public:
  explicit CountingOperation(test::Latch* gate = nullptr) : gate_(gate) {}
  std::atomic<int> runs{0};
  test::Latch started;

protected:
  void main() override {
    ++runs;
    started.countDown();
    if (gate_)
      gate_->waitFor(1);
  }

private:
  test::Latch* gate_;
};

// True once `condition` holds, false when it still does not after the bound. For state that
// changes on a worker without an event of its own to wait on.
template <typename Condition> bool becomes(Condition condition, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(SemaphoreTest, TakesEverySignalAndGivesUpAtTheDeadlineWhenNoneIsLeft) {
  Semaphore semaphore;
  semaphore.signal();
  semaphore.signal();
  EXPECT_TRUE(semaphore.waitUntil(Semaphore::Clock::now() + 1s));
  semaphore.wait();

  const auto start = Semaphore::Clock::now();
  EXPECT_FALSE(semaphore.waitUntil(start + 50ms)) << "both signals were taken";
  EXPECT_GE(Semaphore::Clock::now() - start, 50ms);

  std::thread signaller([&] { semaphore.signal(); });
  EXPECT_TRUE(semaphore.waitUntil(Semaphore::Clock::now() + 10s)) << "a signal from elsewhere";
  signaller.join();
}

TEST(OperationTest, RunsMainOnceAndThenItsCompletionBlock) {
  auto operation = std::make_shared<CountingOperation>();
  int completions = 0;
  bool finishedWhenCompleted = false;
  operation->setCompletionBlock([&] {
    ++completions;
    finishedWhenCompleted = operation->isFinished();
  });
  EXPECT_TRUE(operation->isReady());

  operation->start();
  operation->start();
  EXPECT_EQ(operation->runs, 1) << "an operation runs at most once";
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(finishedWhenCompleted);
  EXPECT_FALSE(operation->isReady());
  EXPECT_FALSE(operation->isExecuting());
}

TEST(OperationTest, CancelledOperationFinishesWithoutRunningMain) {
  auto operation = std::make_shared<CountingOperation>();
  int completions = 0;
  operation->setCompletionBlock([&] { ++completions; });
  operation->cancel();
  operation->start();
  EXPECT_EQ(operation->runs, 0);
  EXPECT_EQ(completions, 1) << "a cancelled operation still answers whoever waits on it";
  EXPECT_TRUE(operation->isFinished());
  EXPECT_TRUE(operation->isCancelled());
}

TEST(OperationQueueTest, RunsItsOperationsSideBySide) {
  auto queue = OperationQueue::create();
  // Each operation waits for the other to have started: a queue that ran them one at a time
  // would never let the first one finish.
  test::Latch bothStarted;
  class Rendezvous : public Operation {
  public:
    explicit Rendezvous(test::Latch& latch) : latch_(latch) {}
    std::atomic<bool> metTheOther{false};

  protected:
    void main() override {
      latch_.countDown();
      metTheOther = latch_.waitFor(2, 10s);
    }

  private:
    test::Latch& latch_;
  };
  auto first = std::make_shared<Rendezvous>(bothStarted);
  auto second = std::make_shared<Rendezvous>(bothStarted);
  test::CountdownLatch finished(2);
  first->setCompletionBlock([&] { finished.countDown(); });
  second->setCompletionBlock([&] { finished.countDown(); });

  queue->addOperation(first);
  queue->addOperation(second);
  ASSERT_TRUE(finished.wait());
  EXPECT_TRUE(first->metTheOther);
  EXPECT_TRUE(second->metTheOther);
}

TEST(OperationQueueTest, ListsOperationsUntilFinishedAndCancelsThemAll) {
  auto queue = OperationQueue::create();
  test::Latch gate;
  auto running = std::make_shared<CountingOperation>(&gate);
  test::CountdownLatch finished(1);
  running->setCompletionBlock([&] { finished.countDown(); });

  queue->addOperation(running);
  queue->addOperation(running);
  ASSERT_TRUE(running->started.waitFor(1));
  EXPECT_EQ(queue->operationCount(), 1u) << "an operation is queued once";
  EXPECT_TRUE(running->isExecuting());

  queue->cancelAllOperations();
  EXPECT_TRUE(running->isCancelled());
  EXPECT_FALSE(running->isFinished()) << "cancelling does not interrupt main()";
  gate.countDown();
  ASSERT_TRUE(finished.wait());
  EXPECT_TRUE(becomes([&] { return queue->operationCount() == 0; }, 10s));

  // A finished operation is not run again by another queue.
  queue->addOperation(running);
  EXPECT_EQ(queue->operationCount(), 0u);
  EXPECT_EQ(running->runs, 1);
}

TEST(OperationQueueTest, OperationsOutliveADroppedQueue) {
  test::Latch gate;
  auto operation = std::make_shared<CountingOperation>(&gate);
  test::CountdownLatch finished(1);
  operation->setCompletionBlock([&] { finished.countDown(); });
  {
    auto queue = OperationQueue::create();
    queue->addOperation(operation);
    ASSERT_TRUE(operation->started.waitFor(1));
  }
  gate.countDown();
  EXPECT_TRUE(finished.wait());
}

} // namespace
} // namespace ombrelia::platform
