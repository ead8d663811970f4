// Base tags: construction rules, attribute lists and strict number conversion.
#include <gtest/gtest.h>

#include <limits>

#include "playlist/tags/AttributedTag.hpp"
#include "playlist/tags/EXT_X_TARGETDURATION.hpp"
#include "playlist/tags/EXT_X_VERSION.hpp"
#include "playlist/tags/TagText.hpp"

namespace ombrelia {
namespace {

TEST(TagTest, EmptyValueFailsWithTheFullInvalidDataText) {
  auto tag = EXT_X_VERSION::make("#EXT-X-VERSION:");
  ASSERT_FALSE(tag);
  EXPECT_EQ(tag.error().kind(), TagError::Kind::invalidData);
  EXPECT_EQ(tag.error().errorDescription(),
            "Failed to create tag (#EXT-X-VERSION:) invalid data, , Int.\n"
            "Make sure the playlist is valid.");
  EXPECT_EQ(TagError::missingAttributes().errorDescription(),
            "Required attributes are missing, can not parse invalid playlist");
}

TEST(TagTest, IntegerConversionIsStrict) {
  using Int = StringInitializable<int64_t>;
  EXPECT_EQ(Int::make("+3"), 3);
  EXPECT_EQ(Int::make("-3"), -3);
  EXPECT_EQ(Int::make("9223372036854775807"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(Int::make("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  for (const char* bad : {"", " 3", "3 ", "3.0", "+", "-", "+-3", "--3", "0x10", "3a",
                          "9223372036854775808", "-9223372036854775809", "99999999999999999999"}) {
    EXPECT_FALSE(Int::make(bad)) << "'" << bad << "'";
  }
  auto duration = EXT_X_TARGETDURATION::make("#EXT-X-TARGETDURATION:6.5");
  ASSERT_FALSE(duration);
  EXPECT_EQ(duration.error().expected(), "Int");
  EXPECT_EQ(duration.error().received(), "6.5");
}

TEST(TagTest, DoubleConversionTakesDecimalNumbersOnly) {
  using Double = StringInitializable<double>;
  EXPECT_EQ(Double::make("10.0"), 10.0);
  EXPECT_EQ(Double::make("-2.5e1"), -25.0);
  EXPECT_EQ(Double::make("+.5"), 0.5);
  EXPECT_EQ(Double::make("6."), 6.0);
  for (const char* bad : {"", " 1", "1 ", ".", "e5", "1e", "inf", "nan", "0x1p3", "1,5", "1e999"}) {
    EXPECT_FALSE(Double::make(bad)) << "'" << bad << "'";
  }
}

TEST(TagTest, AttributeListsSplitAtFirstEqualsAndDropQuotes) {
  const std::vector<std::string> quote{"\""};
  auto two = AttributedTag::getAttributes("BANDWIDTH=1280000,RESOLUTION=1280x720", ",", &quote);
  EXPECT_EQ(two.size(), 2u);
  EXPECT_EQ(two["RESOLUTION"], "1280x720");

  auto codecs = AttributedTag::getAttributes("CODECS=\"avc1.4d401f,mp4a.40.2\"", ",", &quote);
  EXPECT_EQ(codecs.size(), 1u);
  EXPECT_EQ(codecs["CODECS"], "avc1.4d401f");

  auto spaced = AttributedTag::getAttributes("BANDWIDTH=1, RESOLUTION=2", ",", nullptr);
  EXPECT_EQ(spaced.count("RESOLUTION"), 0u);
  EXPECT_EQ(spaced[" RESOLUTION"], "2");

  auto empties = AttributedTag::getAttributes("=x,,K=", ",", nullptr);
  EXPECT_EQ(empties[""], "x");
  EXPECT_EQ(empties["K"], "");
}

}  // namespace
}  // namespace ombrelia
