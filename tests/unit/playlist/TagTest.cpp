// Base tags: construction rules, attribute lists and strict number conversion.
#include <gtest/gtest.h>

#include <limits>

#include "playlist/tags/AttributedTag.hpp"
#include "playlist/tags/BaseAttributedTag.hpp"
#include "playlist/tags/EXTM3U.hpp"
#include "playlist/tags/EXT_X_ALLOW_CACHE.hpp"
#include "playlist/tags/EXT_X_PLAYLIST_TYPE.hpp"
#include "playlist/tags/EXT_X_TARGETDURATION.hpp"
#include "playlist/tags/EXT_X_VERSION.hpp"
#include "playlist/tags/TagParamsKeys.hpp"
#include "playlist/tags/TagText.hpp"

namespace ombrelia {
namespace {

TEST(TagTest, ValueAndPlainTagsKeepTheTextAfterTheirLiteral) {
  auto version = EXT_X_VERSION::make("#EXT-X-VERSION:3");
  ASSERT_TRUE(version);
  EXPECT_EQ(version.value()->tagDataText(), "3");
  EXPECT_EQ(version.value()->value(), 3);
  EXPECT_EQ(version.value()->toText("ignored"), "#EXT-X-VERSION:3");

  auto header = EXTM3U::make("#EXTM3U");
  ASSERT_TRUE(header);
  EXPECT_EQ(header.value()->tagDataText(), "");
  EXPECT_EQ(TagText::getTagValue("#EXT-X-ENDLIST", EXT_X_VERSION::type()), "");
  EXPECT_EQ(TagText::getTagValue("x#EXT-X-VERSION:4", EXT_X_VERSION::type()), "x4");
}

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

TEST(TagTest, EnumerationValuesMatchTheirRawTextExactly) {
  auto vod = EXT_X_PLAYLIST_TYPE::make("#EXT-X-PLAYLIST-TYPE:vod");
  ASSERT_FALSE(vod);
  EXPECT_EQ(vod.error().received(), "vod");
  EXPECT_EQ(vod.error().expected(), "PlaylistTagType");
  auto cache = EXT_X_ALLOW_CACHE::make("#EXT-X-ALLOW-CACHE:YES");
  ASSERT_TRUE(cache);
  EXPECT_EQ(cache.value()->value(), BoolTagType::yes);
  EXPECT_EQ(EXT_X_ALLOW_CACHE::make("#EXT-X-ALLOW-CACHE:yes").error().expected(), "BoolTagType");
}

TEST(TagTest, AttributeListsSplitAtFirstEqualsAndDropQuotes) {
  const std::vector<std::string> quote{"\""};
  auto two = AttributedTag::getAttributes("BANDWIDTH=1280000,RESOLUTION=1280x720", ",", &quote);
  EXPECT_EQ(two.size(), 2u);
  EXPECT_EQ(two["RESOLUTION"], "1280x720");

  auto codecs = AttributedTag::getAttributes("CODECS=\"avc1.4d401f,mp4a.40.2\"", ",", &quote);
  EXPECT_EQ(codecs.size(), 1u);
  EXPECT_EQ(codecs["CODECS"], "avc1.4d401f");

  auto uri = AttributedTag::getAttributes("URI=\"key.bin?a=1\"", ",", &quote);
  EXPECT_EQ(uri["URI"], "key.bin?a=1");

  auto last = AttributedTag::getAttributes("A=1,A=2", ",", nullptr);
  EXPECT_EQ(last["A"], "2");

  auto spaced = AttributedTag::getAttributes("BANDWIDTH=1, RESOLUTION=2", ",", nullptr);
  EXPECT_EQ(spaced.count("RESOLUTION"), 0u);
  EXPECT_EQ(spaced[" RESOLUTION"], "2");

  auto empties = AttributedTag::getAttributes("=x,,K=", ",", nullptr);
  EXPECT_EQ(empties[""], "x");
  EXPECT_EQ(empties["K"], "");
}

TEST(TagTest, UnmatchedLinesAreNotTags) {
  EXPECT_TRUE(TagText::isMatch("#EXTM3U8", EXTM3U::type()));
  EXPECT_FALSE(TagText::isMatch(" #EXTM3U", EXTM3U::type()));
  EXPECT_FALSE(TagText::isMatch("#extm3u", EXTM3U::type()));
}

}  // namespace
}  // namespace ombrelia

namespace ombrelia {
namespace {

TEST(TagDeathTest, BrokenConstructionContractsStopTheProcess) {
  EXPECT_DEATH(
      (void)BaseAttributedTag::parse("#EXT-X-KEY:METHOD=NONE", EXT_X_VERSION::type(), nullptr),
      "missing params, make sure to send all needed params");
  const TagExtraParams params{
      {std::string(TagParamsKeys::attributesCount), int64_t{1}},
      {std::string(TagParamsKeys::attributesSeperator), std::string(",")},
      {std::string(TagParamsKeys::attributesKeys), std::vector<std::string>{}},
  };
  EXPECT_DEATH((void)BaseAttributedTag::parse("#EXT-X-VERSION:A=1", EXT_X_VERSION::type(), &params),
               "tag type must be of type: AttributedTag");
  const TagType abstract{};
  EXPECT_DEATH((void)abstract.tag(),
               "Abstract implementation make sure to implement tag in subclass");
}

}  // namespace
}  // namespace ombrelia
