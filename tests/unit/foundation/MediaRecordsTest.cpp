#include <ombrelia/Manifest.hpp>
#include <ombrelia/SegmentInfo.hpp>
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

TEST(MediaRecords, CopiesAreIndependentValues) {
  SegmentInfo info(SegmentType::video, 800000, 2500000, std::string("1280x720"), 1, 42, 6.0);
  SegmentInfo copy = info;
  info = SegmentInfo(SegmentType::audio, 0, 0, std::nullopt, 0, 1, 0);
  EXPECT_EQ(copy.type(), SegmentType::video);
  EXPECT_EQ(copy.resolution(), "1280x720");
  EXPECT_EQ(copy.segmentNumber(), 42);
  Manifest m(*Url::parse("http://o/a.m3u8"), Data(std::string("#EXTM3U")));
  Manifest m2 = m;
  EXPECT_EQ(m2.url().toString(), "http://o/a.m3u8");
  EXPECT_EQ(m2.data().toString(), "#EXTM3U");
}
