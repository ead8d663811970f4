#include "platform/Regex.hpp"

#include <gtest/gtest.h>

#include <string>

using ombrelia::platform::Regex;

TEST(Regex, RefusesAPatternThatDoesNotCompileAndSaysWhy) {
  std::string error;
  EXPECT_FALSE(Regex::compile("a(b", {}, &error).has_value());
  EXPECT_FALSE(error.empty());
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
