// Operations and the operation queue.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/Operation.hpp"
#include "platform/OperationQueue.hpp"
#include "support/Latch.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::platform {
namespace {

using namespace std::chrono_literals;

// Counts its runs; main() meets `peers` others at `rendezvous` when given one.
class CountingOperation : public Operation {
public:
  explicit CountingOperation(test::Latch* rendezvous = nullptr, int peers = 0)
      : rendezvous_(rendezvous), peers_(peers) {}
  std::atomic<int> runs{0};
  std::atomic<bool> metPeers{false};
  test::Latch finished;

protected:
  void main() override {
    ++runs;
    if (rendezvous_) {
      rendezvous_->countDown();
      metPeers = rendezvous_->waitFor(peers_ + 1);
    }
  }

private:
  test::Latch* rendezvous_;
  int peers_;
};

TEST(OperationTest, RunsOnceAndACancelledOneFinishesWithoutRunning) {
  auto operation = std::make_shared<CountingOperation>();
  int completions = 0;
  operation->setCompletionBlock([&] { completions += operation->isFinished() ? 1 : 100; });
  operation->start();
  operation->start();
  EXPECT_EQ(operation->runs, 1);
  EXPECT_EQ(completions, 1) << "the completion block runs once, after finishing";

  auto cancelled = std::make_shared<CountingOperation>();
  cancelled->setCompletionBlock([&] { ++completions; });
  cancelled->cancel();
  cancelled->start();
  EXPECT_EQ(cancelled->runs, 0);
  EXPECT_EQ(completions, 2) << "a cancelled operation still answers whoever waits on it";
  EXPECT_TRUE(cancelled->isFinished());
}

TEST(OperationQueueTest, RunsOperationsSideBySideAndListsThemUntilFinished) {
  auto queue = OperationQueue::create();
  // Each waits for the other to start and for the test to have looked: a queue running one at
  // a time would time them out.
  test::Latch rendezvous;
  auto first = std::make_shared<CountingOperation>(&rendezvous, 2);
  auto second = std::make_shared<CountingOperation>(&rendezvous, 2);
  first->setCompletionBlock([&] { first->finished.countDown(); });
  second->setCompletionBlock([&] { second->finished.countDown(); });
  queue->addOperation(first);
  queue->addOperation(first);
  queue->addOperation(second);
  EXPECT_EQ(queue->operationCount(), 2u) << "an operation is queued once";
  rendezvous.countDown();

  ASSERT_TRUE(first->finished.waitFor(1) && second->finished.waitFor(1));
  EXPECT_TRUE(first->metPeers && second->metPeers);
  const auto deadline = std::chrono::steady_clock::now() + test::scaledWait(10s);
  while (queue->operationCount() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_EQ(queue->operationCount(), 0u);
  queue->addOperation(first);
  EXPECT_EQ(queue->operationCount(), 0u) << "a finished operation is not run again";
}

} // namespace
} // namespace ombrelia::platform
