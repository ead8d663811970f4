// Playlists that ffmpeg writes: a three-variant MPEG-TS stream and an fMP4 stream with an audio
// group, with their own line feeds and with CR LF.
#include <gtest/gtest.h>

#include "playlist/parser/PlaylistParser.hpp"
#include "support/PlaylistFixtures.hpp"

namespace ombrelia {
namespace {

using test::PlaylistFixtures;

const Url kMasterBase = *Url::parse("http://origin.test/stream/master.m3u8");

class RealPlaylistTest : public ::testing::TestWithParam<bool> {
 protected:
  std::string fixture(std::string_view path) const {
    std::string text = PlaylistFixtures::read(path);
    return GetParam() ? PlaylistFixtures::withCrLf(text) : text;
  }
  PlaylistParser::Outcome parse(std::string_view path, PlaylistType type) const {
    return PlaylistParser().parse({fixture(path), type, kMasterBase});
  }
};

TEST_P(RealPlaylistTest, ThreeVariantTransportStream) {
  auto master = parse("ts/master.m3u8", PlaylistType::master);
  ASSERT_TRUE(master) << master.error().errorDescription();
  const auto& variants = master.value().master()->tags().streamTags();
  ASSERT_EQ(variants.size(), 3u);
  EXPECT_EQ(variants[0]->bandwidth(), 880000);
  EXPECT_EQ(variants[0]->resolution(), "640x360");

  for (const char* path : {"ts/v0/index.m3u8", "ts/v1/index.m3u8", "ts/v2/index.m3u8"}) {
    auto media = parse(path, PlaylistType::video);
    ASSERT_TRUE(media) << path << ": " << media.error().errorDescription();
    const auto& tags = media.value().media()->tags();
    ASSERT_EQ(tags.mediaSegments().size(), 4u) << path;
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(tags.mediaSegments()[i]->uri(), "seg" + std::to_string(i) + ".ts");
      EXPECT_DOUBLE_EQ(tags.mediaSegments()[i]->value(), 1.0);
    }
  }
}

TEST_P(RealPlaylistTest, FragmentedMp4WithAudioGroup) {
  auto master = parse("fmp4/master.m3u8", PlaylistType::master);
  ASSERT_TRUE(master) << master.error().errorDescription();
  const auto& tags = master.value().master()->tags();
  ASSERT_EQ(tags.mediaTags().size(), 1u);
  EXPECT_EQ(tags.mediaTags()[0]->mediaType(), EXT_X_MEDIA::MediaType::audio);
  EXPECT_EQ(tags.mediaTags()[0]->uri(), "saudio/index.m3u8");
  ASSERT_EQ(tags.streamTags().size(), 3u);
  EXPECT_FALSE(tags.streamTags()[0]->resolution().has_value());
  EXPECT_EQ(tags.streamTags()[0]->audio(), "group_aud");

  auto audio = parse("fmp4/saudio/index.m3u8", PlaylistType::video);
  ASSERT_TRUE(audio) << audio.error().errorDescription();
  const auto& segments = audio.value().media()->tags().mediaSegments();
  ASSERT_EQ(segments.size(), 5u);
  EXPECT_EQ(segments[4]->uri(), "seg4.m4s");
  EXPECT_DOUBLE_EQ(segments[0]->value(), 1.021678);
}

INSTANTIATE_TEST_SUITE_P(LineEnds, RealPlaylistTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "CrLf" : "Lf"; });

}  // namespace
}  // namespace ombrelia
