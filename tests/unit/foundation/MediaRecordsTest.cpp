#include <ombrelia/SegmentType.hpp>

#include <gtest/gtest.h>

using namespace ombrelia;

TEST(SegmentType, ConvertsOnlyExactRawValues) {
  EXPECT_FALSE(makeSegmentType("Video"));
  EXPECT_FALSE(makeSegmentType("AUDIO"));
  EXPECT_FALSE(makeSegmentType("subtitles"));
  EXPECT_FALSE(makeSegmentType(""));
  EXPECT_EQ(makeSegmentType("unknown"), SegmentType::unknown);
  for (auto t : {SegmentType::video, SegmentType::audio, SegmentType::unknown}) {
    EXPECT_EQ(makeSegmentType(rawValue(t)), t);
  }
}
