// The UTF-8 check every layer uses, and the mending of text that has to be written as UTF-8.
#include "platform/url/Utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace ombrelia {
namespace {

TEST(Utf8, AcceptsEveryWellFormedLengthUpToTheLastCodePoint) {
  EXPECT_TRUE(Utf8::isValid(""));
  EXPECT_TRUE(Utf8::isValid("plain é € 𝄞"));
  EXPECT_TRUE(Utf8::isValid("\xed\x9f\xbf"));          // U+D7FF, just below the surrogates
  EXPECT_TRUE(Utf8::isValid("\xee\x80\x80"));          // U+E000, just above them
  EXPECT_TRUE(Utf8::isValid("\xf4\x8f\xbf\xbf"));      // U+10FFFF
  EXPECT_TRUE(Utf8::isValid(std::string("a\0b", 3)));  // NUL is a character like any other
}

TEST(Utf8, RefusesOverlongSurrogatesTooLargeAndTruncatedSequences) {
  for (const char* bad :
       {"\xc0\xaf", "\xc1\xbf", "\xe0\x80\xaf", "\xf0\x80\x80\xaf", "\xed\xa0\x80", "\xed\xbf\xbf",
        "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xe2\x82", "a\xf0\x9d\x84", "\x80", "\xbf", "\xfe",
        "\xff", "\xf8\x88\x80\x80\x80", "\xe2\x28\xa1", "\xc3\x28"}) {
    EXPECT_FALSE(Utf8::isValid(bad)) << testing::PrintToString(std::string(bad));
  }
}

TEST(Utf8, MendingReplacesEachBadByteAndKeepsEverythingElse) {
  EXPECT_EQ(Utf8::valid("café 𝄞"), "café 𝄞");
  EXPECT_EQ(Utf8::valid("a\xff"
                        "b"),
            "a\xEF\xBF\xBD"
            "b");
  // A truncated sequence gives one replacement per byte; the character after it survives.
  EXPECT_EQ(Utf8::valid("\xe2\x82"
                        "x"),
            "\xEF\xBF\xBD\xEF\xBF\xBD"
            "x");
  EXPECT_EQ(Utf8::valid("\xed\xa0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  for (const char* bad : {"\xc0\xaf", "\xf4\x90\x80\x80", "x\x80y"}) {
    EXPECT_TRUE(Utf8::isValid(Utf8::valid(bad))) << testing::PrintToString(std::string(bad));
  }
}

}  // namespace
}  // namespace ombrelia
