// Variant pinning: which variant a level keeps, what else survives, and the resolution order.
#include <gtest/gtest.h>

#include <algorithm>

#include <ombrelia/OmbreliaConfig.hpp>

#include "store/HLSManifestModifier.hpp"
#include "support/CpuTime.hpp"
#include "support/PlaylistFixtures.hpp"

namespace ombrelia {
namespace {

class HLSManifestModifierTest : public ::testing::Test {
 protected:
  void SetUp() override { OmbreliaConfig::configure("test-key"); }

  std::string pin(const std::string& text, std::optional<int64_t> level) const {
    OmbreliaConfig::shared().setCurrentLevel(level);
    return modifier_.modifyManifest(Data(text)).toString();
  }

  HLSManifestModifier modifier_;
};

const std::string kThreeVariants =
    "#EXTM3U\n#EXT-X-VERSION:3\n"
    "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"en\",URI=\"audio.m3u8\"\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=5000000,RESOLUTION=1920x1080\nhigh.m3u8\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360,CODECS=\"avc1\"\nlow.m3u8\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=2500000,RESOLUTION=1280x720\nmid.m3u8\n"
    "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=1,RESOLUTION=1x1,URI=\"iframe.m3u8\"\n";

std::string keeping(const std::string& tag, const std::string& uri) {
  return "#EXTM3U\n#EXT-X-VERSION:3\n"
         "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"en\",URI=\"audio.m3u8\"\n" +
         tag + "\n" + uri +
         "\n#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=1,RESOLUTION=1x1,URI=\"iframe.m3u8\"\n";
}

TEST_F(HLSManifestModifierTest, WithoutLevelBytesPassUnchanged) {
  EXPECT_EQ(pin(kThreeVariants, std::nullopt), kThreeVariants);
  const std::string media = "#EXTM3U\r\n#EXT-X-TARGETDURATION:6\r\n#EXTINF:6,\r\na.ts\r\n";
  EXPECT_EQ(pin(media, 0), media);
  const std::string notUtf8 = "#EXTM3U\n\xFF\n#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=1x1\nv\n";
  EXPECT_EQ(pin(notUtf8, 0), notUtf8);
}

TEST_F(HLSManifestModifierTest, LevelSelectsAmongResolutionsLowestFirst) {
  const std::string low =
      keeping("#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360,CODECS=\"avc1\"", "low.m3u8");
  const std::string mid =
      keeping("#EXT-X-STREAM-INF:BANDWIDTH=2500000,RESOLUTION=1280x720", "mid.m3u8");
  const std::string high =
      keeping("#EXT-X-STREAM-INF:BANDWIDTH=5000000,RESOLUTION=1920x1080", "high.m3u8");
  EXPECT_EQ(pin(kThreeVariants, 0), low);
  EXPECT_EQ(pin(kThreeVariants, 1), mid);
  EXPECT_EQ(pin(kThreeVariants, 2), high);
  EXPECT_EQ(pin(kThreeVariants, 7), high);
  EXPECT_EQ(pin(kThreeVariants, -3), low);
  EXPECT_EQ(modifier_.getResolutions(Data(kThreeVariants)),
            (std::vector<std::string>{"640x360", "1280x720", "1920x1080"}));
}

TEST_F(HLSManifestModifierTest, UnreadableResolutionsSortLastAndLoseToReadableOnes) {
  const std::string mixed =
      "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=wide\nw.m3u8\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=2,RESOLUTION=640x360\nl.m3u8\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=3,RESOLUTION=1280x720\nh.m3u8";
  EXPECT_EQ(modifier_.getResolutions(Data(mixed)),
            (std::vector<std::string>{"640x360", "1280x720", "wide"}));
  EXPECT_EQ(pin(mixed, 5), "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=3,RESOLUTION=1280x720\nh.m3u8");
}

TEST_F(HLSManifestModifierTest, VariantsWithoutResolutionStayAtEveryLevel) {
  const std::string text =
      "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=70000,CODECS=\"mp4a.40.2\"\naudio.m3u8\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=800000,CODECS=\"avc1\",RESOLUTION=640x360\nlow.m3u8\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=900000,RESOLUTION=1280x720\nhigh.m3u8";
  EXPECT_EQ(pin(text, 0),
            "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=70000,CODECS=\"mp4a.40.2\"\naudio.m3u8\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=800000,CODECS=\"avc1\",RESOLUTION=640x360\nlow.m3u8");
}

TEST_F(HLSManifestModifierTest, CrLfPlaylistLosesTheRightUriLines) {
  const std::string text = test::PlaylistFixtures::withCrLf(
      "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=2,RESOLUTION=1280x720\n\n# note\nhigh.m3u8\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=640x360\nlow.m3u8\n");
  EXPECT_EQ(pin(text, 0),
            "#EXTM3U\n\n# note\n#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=640x360\nlow.m3u8\n");
}

TEST_F(HLSManifestModifierTest, VariantWithoutUriDoesNotTakeItsNeighbours) {
  const std::string text =
      "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=2,RESOLUTION=1280x720\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=640x360\nlow.m3u8";
  EXPECT_EQ(pin(text, 0), "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=640x360\nlow.m3u8");
}

// Every variant not kept goes in one pass over the lines: erased one by one from the list of
// lines, each moved every later line, and a master of 131,072 variants followed by 262,142
// empty lines (524,288 lines, the most a playlist may have) took 37 s of CPU.
TEST_F(HLSManifestModifierTest, PinsAMasterOfManyVariantsInOnePass) {
  constexpr int kVariants = 131072;
  constexpr int kEmptyLines = 262142;
  std::string master = "#EXTM3U\n";
  for (int i = 0; i < kVariants; ++i) {
    master += "#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=" + std::to_string(1000 - i % 1000) + "x" +
              std::to_string(i) + "\nv\n";
  }
  master.append(kEmptyLines, '\n');
  const double start = test::threadCpuSeconds();
  const std::string pinned = pin(master, 0);
  const double spent = test::threadCpuSeconds() - start;
  EXPECT_LT(spent, 1.0 * test::kSanitizerSlowdown) << "seconds of CPU";
  // The lowest resolution stays with its URI, and the empty lines after the variants.
  const std::string kept = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=1x999\nv\n";
  EXPECT_TRUE(pinned == kept + std::string(kEmptyLines, '\n')) << pinned.substr(0, 200);
}

}  // namespace
}  // namespace ombrelia
