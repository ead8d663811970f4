// The HLS tag classes: multi-line entries, required attributes and read-outs.
#include <gtest/gtest.h>

#include "playlist/tags/EXTINF.hpp"
#include "playlist/tags/EXT_X_KEY.hpp"
#include "playlist/tags/EXT_X_STREAM_INF.hpp"

namespace ombrelia {
namespace {

TEST(TagClassesTest, ExtinfReadsBitrateLineBetweenTagAndUri) {
  auto withBitrate = EXTINF::make("#EXTINF:6,\n#EXT-X-BITRATE:800\nseg1.ts");
  ASSERT_TRUE(withBitrate);
  ASSERT_TRUE(withBitrate.value()->bitrate());
  EXPECT_EQ(withBitrate.value()->bitrate()->value(), 800);
  EXPECT_EQ(withBitrate.value()->uri(), "seg1.ts");

  auto badBitrate = EXTINF::make("#EXTINF:6,\n#EXT-X-BITRATE:abc\nseg1.ts");
  ASSERT_FALSE(badBitrate);
  EXPECT_EQ(badBitrate.error().tag(), "#EXT-X-BITRATE:");
  EXPECT_EQ(badBitrate.error().received(), "abc");
  EXPECT_EQ(badBitrate.error().expected(), "Int");
}

TEST(TagClassesTest, ExtinfFailuresComeInStepOrder) {
  auto alone = EXTINF::make("#EXTINF:6,");
  ASSERT_FALSE(alone);
  EXPECT_EQ(alone.error().errorDescription(),
            "Failed to create tag (#EXTINF:) invalid data, more/less than 2 lines of data, "
            "exactly 2 lines of data.\nMake sure the playlist is valid.");
  auto cut = EXTINF::make("#EXTINF:abc,\n#EXT-X-BITRATE:9");
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().received(), "more/less than 3 lines of data");
  auto badDuration = EXTINF::make("#EXTINF:abc,\nseg1.ts");
  ASSERT_FALSE(badDuration);
  EXPECT_EQ(badDuration.error().received(), "abc");
  EXPECT_EQ(badDuration.error().expected(), "Double");
}

TEST(TagClassesTest, StreamInfNeedsBandwidthAndAUriLine) {
  EXPECT_EQ(EXT_X_STREAM_INF::make("#EXT-X-STREAM-INF:BANDWIDTH=abc\nx").value()->bandwidth(), -1);
  EXPECT_EQ(EXT_X_STREAM_INF::make("#EXT-X-STREAM-INF:RESOLUTION=1x1\nx").error(),
            TagError::missingAttributes());
  auto noUri = EXT_X_STREAM_INF::make("#EXT-X-STREAM-INF:BANDWIDTH=1");
  ASSERT_FALSE(noUri);
  EXPECT_EQ(noUri.error().expected(), "exactly 2 lines of data, 1 for tag and 1 for uri");
  auto empty = EXT_X_STREAM_INF::make("#EXT-X-STREAM-INF:\nx");
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().received(), "received 0 attributes");
  EXPECT_EQ(empty.error().expected(), "expected to receive 2 attributes");
}

TEST(TagClassesTest, KeyNeedsUriUnlessMethodIsNone) {
  auto none = EXT_X_KEY::make("#EXT-X-KEY:METHOD=NONE");
  ASSERT_TRUE(none);
  EXPECT_EQ(none.value()->method(), "NONE");
  EXPECT_EQ(none.value()->uri(), "");
  auto aes = EXT_X_KEY::make("#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin?a=1\"");
  ASSERT_TRUE(aes);
  EXPECT_EQ(aes.value()->uri(), "key.bin?a=1");
  EXPECT_EQ(EXT_X_KEY::make("#EXT-X-KEY:METHOD=AES-128").error(), TagError::missingAttributes());
  EXPECT_EQ(EXT_X_KEY::make("#EXT-X-KEY:URI=\"k\"").error(), TagError::missingAttributes());
}

}  // namespace
}  // namespace ombrelia
