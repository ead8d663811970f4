// What real associations cannot show quickly: a loop held up, and the SACK reader's bounds. The
// rule itself shows over real associations in StuckAssociationTest.
#include "datachannel/SctpStallWatch.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;

TEST(SctpStallWatchTest, StretchesWhenTheLoopWasHeldUpDoNotCount) {
  SctpStallWatch watch;
  SctpStallWatch::Sample stalled{SctpStallWatch::Clock::time_point{}, 10, 100, 0};
  const auto checkAfter = [&](std::chrono::seconds gap) {
    stalled.at += gap;
    return watch.observe(stalled);
  };
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(checkAfter(1s));
  // The loop, which also drives usrsctp's timers, ran nothing for 20 s.
  EXPECT_FALSE(checkAfter(20s));
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(checkAfter(1s));
  EXPECT_EQ(watch.stalledFor(), 9s);
  EXPECT_TRUE(checkAfter(1s));
}

TEST(SctpStallWatchTest, CumulativeAckIsReadFromSackAndNrSackChunksOnly) {
  // Common header, then a heartbeat-ack and a SACK acknowledging up to 0x01020304 with a window
  // of 0x00010200.
  std::vector<uint8_t> packet(12, 0);
  const std::vector<uint8_t> heartbeatAck = {5, 0, 0, 6, 9, 9, 0, 0};
  const std::vector<uint8_t> sack = {3, 0, 0, 16, 1, 2, 3, 4, 0, 1, 2, 0, 0, 0, 0, 0};
  packet.insert(packet.end(), heartbeatAck.begin(), heartbeatAck.end());
  EXPECT_EQ(SctpStallWatch::cumulativeAckIn(packet.data(), packet.size()), std::nullopt);
  packet.insert(packet.end(), sack.begin(), sack.end());
  EXPECT_EQ(SctpStallWatch::cumulativeAckIn(packet.data(), packet.size()), 0x01020304u);
  packet[20] = 16;  // an NR-SACK carries it the same way
  EXPECT_EQ(SctpStallWatch::cumulativeAckIn(packet.data(), packet.size()), 0x01020304u);
  const auto sackRead = SctpStallWatch::sackIn(packet.data(), packet.size());
  ASSERT_TRUE(sackRead);
  EXPECT_EQ(sackRead->advertisedWindow, 0x00010200u);
  // A chunk whose length runs past the packet ends the reading.
  packet[23] = 40;
  EXPECT_EQ(SctpStallWatch::cumulativeAckIn(packet.data(), packet.size()), std::nullopt);
}

}  // namespace
}  // namespace ombrelia::datachannel
