// The stall rules at their edges, with the usual 6-second segments.
#include <gtest/gtest.h>

#include "p2p/StallCheck.hpp"

namespace ombrelia {
namespace {

constexpr double kSd = 6.0;

bool stops(std::optional<double> buffer, std::vector<StallCheck::Request> requests) {
  return StallCheck::shouldStop(buffer, kSd, requests);
}

TEST(StallCheck, LowBufferStopsEvenWithoutRequests) {
  EXPECT_TRUE(stops(4.4, {}));
  EXPECT_FALSE(stops(4.6, {}));
  EXPECT_FALSE(stops(std::nullopt, {}));
}

TEST(StallCheck, RequestWithoutChunksStopsOnlyBelowTheFirstThreshold) {
  EXPECT_TRUE(stops(6.5, {{std::nullopt, 0.5}}));
  EXPECT_FALSE(stops(6.7, {{std::nullopt, 0.5}}));
}

TEST(StallCheck, RequestThatWillArriveTooLateStops) {
  EXPECT_FALSE(stops(11.0, {{1.0, 1.0}}));   // 0.8 x 11 = 8.8 > 1
  EXPECT_TRUE(stops(11.0, {{10.0, 2.0}}));   // 8.8 < 10
  EXPECT_FALSE(stops(12.5, {{10.0, 2.0}}));  // above twice the segment duration
}

TEST(StallCheck, ElapsedTimeStopsWhateverTheBuffer) {
  EXPECT_TRUE(stops(30.0, {{0.5, 3.1}}));
  EXPECT_FALSE(stops(30.0, {{0.5, 2.9}}));
  EXPECT_TRUE(stops(std::nullopt, {{std::nullopt, 3.1}}));
  EXPECT_TRUE(stops(15.0, {{0.1, 12.5}}));  // between 2 and 3 segment durations of buffer
}

}  // namespace
}  // namespace ombrelia
