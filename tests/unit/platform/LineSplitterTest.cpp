// Line breaks of playlist text.
#include <gtest/gtest.h>

#include "platform/LineSplitter.hpp"

namespace ombrelia {
namespace {

using Lines = std::vector<std::string_view>;

TEST(LineSplitterTest, CrLfIsOneBreakAndEveryOtherSeparatorIsItsOwn) {
  EXPECT_EQ(LineSplitter::split("a\r\nb\r\n"), (Lines{"a", "b", ""}));
  EXPECT_EQ(LineSplitter::split("a\n\rb"), (Lines{"a", "", "b"}));
  EXPECT_EQ(LineSplitter::split("a\rb\vc\fd\ne"), (Lines{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(LineSplitter::split("a\xC2\x85"
                                "b\xE2\x80\xA8"
                                "c\xE2\x80\xA9"
                                "d"),
            (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(LineSplitter::split(""), (Lines{""}));
  EXPECT_EQ(LineSplitter::split("\r\n\r\n"), (Lines{"", "", ""}));
}

TEST(LineSplitterTest, BytesInsideOtherCharactersAreNotBreaks) {
  // "Å" is C3 85: its second byte is the same as the one of U+0085 but is no break.
  EXPECT_EQ(LineSplitter::split("\xC3\x85x"), (Lines{"\xC3\x85x"}));
  // U+2028 is E2 80 A8; U+20A8 (E2 82 A8) is not a break.
  EXPECT_EQ(LineSplitter::split("\xE2\x82\xA8"), (Lines{"\xE2\x82\xA8"}));
  // A malformed sequence cut short by a line feed keeps the line feed.
  EXPECT_EQ(LineSplitter::split("\xE2\nx"), (Lines{"\xE2", "x"}));
  EXPECT_EQ(LineSplitter::split("a\xE2\x80"), (Lines{"a\xE2\x80"}));
  EXPECT_EQ(LineSplitter::split("a\xC2"), (Lines{"a\xC2"}));
}

}  // namespace
}  // namespace ombrelia
