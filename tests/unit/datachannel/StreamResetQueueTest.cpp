#include "datachannel/StreamResetQueue.hpp"

#include <gtest/gtest.h>

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using Streams = std::vector<uint16_t>;
using Clock = StreamResetQueue::Clock;

// No data handed to SCTP for a long time.
const Clock::time_point kLongAgo{};

TEST(StreamResetQueueTest,
     ResetsWaitForTheOutstandingRequestAndGoTogetherOnceAllDataIsAcknowledged) {
  StreamResetQueue queue;
  const auto now = Clock::now();
  queue.add(3, now);
  EXPECT_EQ(queue.take(false, kLongAgo, now), Streams{}) << "sent while data was unacknowledged";
  EXPECT_EQ(queue.take(true, kLongAgo, now), Streams{3});
  queue.add(5, now);
  queue.add(7, now);
  EXPECT_EQ(queue.take(true, kLongAgo, now), Streams{})
      << "a second request while one is outstanding";
  queue.settle({3}, false, now);
  EXPECT_EQ(queue.take(true, kLongAgo, now), (Streams{5, 7}));
  queue.settle({5, 7}, false, now);
  EXPECT_FALSE(queue.due());
}

TEST(StreamResetQueueTest, UnderASteadyFlowOfDataAResetGoesAfterABoundedWait) {
  StreamResetQueue queue;
  const auto start = Clock::now();
  queue.add(9, start);
  const auto later = start + 2s;
  EXPECT_EQ(queue.take(false, kLongAgo, later), Streams{})
      << "sent ahead of data that only waits for acknowledgement, with nothing to follow it";
  EXPECT_EQ(queue.take(false, later - 10ms, later), Streams{9});
}

TEST(StreamResetQueueTest, AnUnansweredRequestKeepsTheOnlySlotHoweverLongItTakes) {
  StreamResetQueue queue;
  auto now = Clock::now();
  queue.add(11, now);
  ASSERT_EQ(queue.take(true, kLongAgo, now), Streams{11});
  queue.add(13, now);
  for (int i = 0; i < 100; ++i) {
    now += 10s;
    ASSERT_EQ(queue.take(true, now, now), Streams{}) << "after " << (i + 1) * 10 << " s";
  }
  queue.settle({11}, false, now);
  EXPECT_EQ(queue.take(true, kLongAgo, now), Streams{13});
}

TEST(StreamResetQueueTest, RefusedResetsAreAskedAgainABoundedNumberOfTimesThenGivenUp) {
  StreamResetQueue queue;
  const auto now = Clock::now();
  queue.add(15, now);
  int requests = 0;
  Streams givenUp;
  while (!queue.take(true, kLongAgo, now).empty() && requests < 100) {
    ++requests;
    givenUp = queue.settle({15}, true, now);
  }
  EXPECT_GT(requests, 1);
  EXPECT_LT(requests, 10);
  EXPECT_EQ(givenUp, Streams{15});
  EXPECT_FALSE(queue.due());
}

}  // namespace
}  // namespace ombrelia::datachannel
