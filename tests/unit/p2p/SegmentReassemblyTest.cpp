// Putting a segment back together from frames in any order, overlapping or repeated: complete
// only when every byte arrived, each byte counted once, nothing written outside the segment.
#include <gtest/gtest.h>

#include <string>

#include "p2p/SegmentReassembly.hpp"

namespace ombrelia {
namespace {

using Result = SegmentReassembly::Result;

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(0x80 | (i * 7 % 127));
  return bytes;
}

std::string_view part(const std::string& whole, size_t from, size_t to) {
  return std::string_view(whole).substr(from, to - from);
}

TEST(SegmentReassembly, OverlappingAndUnalignedFramesCompleteOnlyWhenEveryByteArrived) {
  const std::string whole = pattern(100);
  SegmentReassembly r(100);
  EXPECT_EQ(r.add(10, part(whole, 10, 40)), Result::added);
  EXPECT_EQ(r.add(30, part(whole, 30, 60)), Result::added);  // overlaps 30..40
  EXPECT_EQ(r.add(0, part(whole, 0, 10)), Result::added);
  EXPECT_EQ(r.receivedBytes(), 60u) << "each byte counted once";
  EXPECT_EQ(r.add(20, part(whole, 20, 50)), Result::repeated);
  EXPECT_EQ(r.add(0, part(whole, 0, 60)), Result::repeated);
  // As many bytes as the segment holds have been sent, but 60..70 is still a hole.
  EXPECT_EQ(r.add(70, part(whole, 70, 100)), Result::added);
  EXPECT_EQ(r.add(75, part(whole, 75, 100)), Result::repeated);
  EXPECT_FALSE(r.complete());
  EXPECT_EQ(r.rangeCount(), 2u);
  EXPECT_EQ(r.add(55, part(whole, 55, 75)), Result::added);
  ASSERT_TRUE(r.complete());
  EXPECT_EQ(r.rangeCount(), 1u);
  const auto bytes = r.take();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), whole);
}

TEST(SegmentReassembly, FramesInReverseOrderAndTouchingRangesMerge) {
  const std::string whole = pattern(47700);
  SegmentReassembly r(whole.size());
  for (size_t start = 31800;; start -= 15900) {
    EXPECT_EQ(r.add(start, part(whole, start, start + 15900)), Result::added);
    EXPECT_EQ(r.rangeCount(), 1u);
    if (start == 0) break;
  }
  ASSERT_TRUE(r.complete());
  const auto bytes = r.take();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), whole);
}

TEST(SegmentReassembly, FrameOutsideTheSegmentIsRejectedAndNothingIsAllocatedForIt) {
  SegmentReassembly r(100);
  const std::string tail(20, '\xFE');
  EXPECT_EQ(r.add(90, tail), Result::rejected);
  EXPECT_EQ(r.add(101, ""), Result::rejected);
  EXPECT_EQ(r.add(~uint64_t{0} - 5, tail), Result::rejected) << "offset + length wraps";
  EXPECT_FALSE(r.started());
  EXPECT_EQ(r.add(80, tail), Result::added);
  EXPECT_EQ(r.receivedBytes(), 20u);
}

TEST(SegmentReassembly, ScatteredOneByteFramesStopAtTheRangeBound) {
  SegmentReassembly r(1 << 20);
  Result last = Result::added;
  size_t accepted = 0;
  for (uint64_t offset = 0; offset < (1 << 20) && last != Result::rejected; offset += 2) {
    last = r.add(offset, "\x80");
    if (last == Result::added) ++accepted;
  }
  EXPECT_EQ(last, Result::rejected);
  EXPECT_EQ(accepted, SegmentReassembly::kMaxRanges);
  // A frame that joins existing ranges still fits.
  EXPECT_EQ(r.add(1, "\x80"), Result::added);
  EXPECT_EQ(r.rangeCount(), SegmentReassembly::kMaxRanges - 1);
}

}  // namespace
}  // namespace ombrelia
