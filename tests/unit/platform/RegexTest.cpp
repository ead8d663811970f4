#include "platform/Regex.hpp"

#include <gtest/gtest.h>

#include <string>

using ombrelia::platform::Regex;

TEST(Regex, RefusesAPatternThatDoesNotCompileAndSaysWhy) {
  std::string error;
  EXPECT_FALSE(Regex::compile("a(b", {}, &error).has_value());
  EXPECT_FALSE(error.empty());
}

TEST(Regex, MatchesCaseInsensitivelyOnlyWhenAsked) {
  auto sensitive = Regex::compile(R"(\.M3U8$)");
  auto insensitive = Regex::compile(R"(\.M3U8$)", {.caseInsensitive = true});
  ASSERT_TRUE(sensitive && insensitive);
  EXPECT_FALSE(sensitive->matches("/live/index.m3u8"));
  EXPECT_TRUE(insensitive->matches("/live/index.m3u8"));
}

TEST(Regex, ReportsCapturesAndLeavesOutGroupsThatDidNotTakePart) {
  auto regex = Regex::compile(R"(/(\w+)(?:-(\d+))?\.(ts|m4s))");
  ASSERT_TRUE(regex);
  EXPECT_EQ(regex->captureCount(), 3u);
  auto match = regex->firstMatch("/seg.ts");
  ASSERT_TRUE(match);
  EXPECT_EQ(match->whole, "/seg.ts");
  ASSERT_EQ(match->groups.size(), 3u);
  EXPECT_EQ(match->groups[0], "seg");
  EXPECT_FALSE(match->groups[1].has_value());
  EXPECT_EQ(match->groups[2], "ts");
}

TEST(Regex, FindsEveryMatchIncludingEmptyOnesWithoutLooping) {
  auto words = Regex::compile(R"(\d+)");
  ASSERT_TRUE(words);
  auto all = words->allMatches("a1b22c333");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[2].whole, "333");

  auto empty = Regex::compile("x*");
  ASSERT_TRUE(empty);
  // "ab" has empty matches at 0, 1 and 2 only.
  EXPECT_EQ(empty->allMatches("ab").size(), 3u);
}

TEST(Regex, HandlesLongSubjectsWithoutExhaustingTheStack) {
  auto regex = Regex::compile("^(a|b)*c$");
  ASSERT_TRUE(regex);
  const std::string subject = std::string(200000, 'a') + "c";
  EXPECT_TRUE(regex->matches(subject));
}

TEST(Regex, NeverMatchesInvalidUtf8Subjects) {
  auto regex = Regex::compile(".*");
  ASSERT_TRUE(regex);
  EXPECT_FALSE(regex->matches(std::string("\xff\xfe", 2)));
}
