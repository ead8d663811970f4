#include "datachannel/StreamResetQueue.hpp"

#include <gtest/gtest.h>

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using Streams = std::vector<uint16_t>;

TEST(StreamResetQueueTest,
     ResetsWaitForTheOutstandingRequestAndGoTogetherOnceAllDataIsAcknowledged) {
  StreamResetQueue queue;
  const auto now = StreamResetQueue::Clock::now();
  queue.add(3);
  EXPECT_EQ(queue.take(false, now), Streams{}) << "sent while data was unacknowledged";
  EXPECT_EQ(queue.take(true, now), Streams{3});
  queue.add(5);
  queue.add(7);
  EXPECT_EQ(queue.take(true, now), Streams{}) << "a second request while one is outstanding";
  queue.settle({3}, false);
  EXPECT_EQ(queue.take(true, now), (Streams{5, 7}));
  queue.settle({5, 7}, false);
  EXPECT_FALSE(queue.pending());
}

TEST(StreamResetQueueTest, UnderASteadyFlowOfDataAResetGoesAfterABoundedWait) {
  StreamResetQueue queue;
  queue.add(9);
  EXPECT_EQ(queue.take(false, StreamResetQueue::Clock::now() + 2s), Streams{9});
}

TEST(StreamResetQueueTest, RefusedOrUnansweredResetsAreAskedAgainABoundedNumberOfTimes) {
  StreamResetQueue queue;
  auto now = StreamResetQueue::Clock::now();
  queue.add(11);
  int requests = 0;
  while (!queue.take(true, now).empty()) {
    ++requests;
    queue.settle({11}, true);
  }
  EXPECT_GT(requests, 1);
  EXPECT_LT(requests, 10);
  EXPECT_FALSE(queue.pending());

  queue.add(13);
  requests = 0;
  while (queue.pending() && requests < 100) {
    if (!queue.take(true, now).empty()) ++requests;
    now += 10s;  // no outcome ever comes
  }
  EXPECT_GT(requests, 1);
  EXPECT_LT(requests, 10);
  EXPECT_FALSE(queue.pending()) << "an unanswered reset is kept forever";
}

}  // namespace
}  // namespace ombrelia::datachannel
