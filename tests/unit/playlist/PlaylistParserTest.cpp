// The line parser: header check, recognised and extra classes, multi-line entries, post-processing
// and cancellation.
#include <gtest/gtest.h>

#include <thread>

#include "platform/DispatchQueue.hpp"
#include "playlist/parser/PlaylistParser.hpp"
#include "playlist/tags/EXT_X_BITRATE.hpp"
#include "playlist/tags/EXT_X_INDEPENDENT_SEGMENTS.hpp"

namespace ombrelia {
namespace {

const Url kBase = *Url::parse("http://origin.test/live/index.m3u8");

PlaylistParser::Outcome parse(std::string text, PlaylistType type,
                              const PlaylistParser::ExtraParams* extra = nullptr) {
  return PlaylistParser().parse({std::move(text), type, kBase}, extra);
}

const MediaPlaylist& media(const PlaylistParser::Outcome& outcome) {
  EXPECT_TRUE(outcome) << outcome.error().errorDescription();
  static const MediaPlaylist* none = nullptr;
  const MediaPlaylist* playlist = outcome ? outcome.value().media() : none;
  if (playlist == nullptr) throw std::runtime_error("not a media playlist");
  return *playlist;
}

TEST(PlaylistParserTest, RejectsTextsThatAreNotPlaylistsOfTheAskedKind) {
  const auto malformed = PlaylistParseError::malformedPlaylist();
  EXPECT_EQ(parse("#EXTM3U\n#EXTINF:9,\nseg1.ts\n#EXTINF:9,\nseg2.ts", PlaylistType::video).error(),
            malformed);
  EXPECT_EQ(parse("", PlaylistType::master).error(), malformed);
  EXPECT_EQ(parse(" #EXTM3U", PlaylistType::master).error(), malformed);
  EXPECT_EQ(parse("#EXTM3U", PlaylistType::video).error(), malformed);

  EXPECT_TRUE(parse("#EXTM3U8\n#EXT-X-TARGETDURATION:1", PlaylistType::audio));

  const std::string master = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nv.m3u8\n";
  EXPECT_EQ(parse(master, PlaylistType::video).error(), malformed);
}

TEST(PlaylistParserTest, TagErrorEndsTheParse) {
  auto outcome = parse("#EXTM3U\n#EXT-X-TARGETDURATION:x\n#EXTINF:1,\na.ts", PlaylistType::video);
  ASSERT_FALSE(outcome);
  ASSERT_EQ(outcome.error().kind(), PlaylistParseError::Kind::tag);
  EXPECT_EQ(outcome.error().tagError().tag(), "#EXT-X-TARGETDURATION:");
  auto missing = parse("#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO\n", PlaylistType::master);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().tagError(), TagError::missingAttributes());
}

TEST(PlaylistParserTest, MultilineEntriesTakeTheirFollowingLinesWhateverTheyHold) {
  const MediaPlaylist joined = media(parse(
      "#EXTM3U\n#EXT-X-TARGETDURATION:5\n#EXTINF:5,\n#EXT-X-BITRATE:800\nseg.ts\n#EXTINF:5,\n\n"
      "lost.ts\n#EXT-X-ENDLIST\n#EXT-X-DISCONTINUITY\n#EXT-X-INDEPENDENT-SEGMENTS\n# comment",
      PlaylistType::video));
  const auto& segments = joined.tags().mediaSegments();
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0]->uri(), "seg.ts");
  EXPECT_EQ(segments[0]->bitrate()->value(), 800);
  EXPECT_EQ(segments[1]->uri(), "");
}

TEST(PlaylistParserTest, ExtraClassesAreCollectedByLiteralUnlessRecognised) {
  PlaylistParser::ExtraParams extra;
  extra.extraTags = std::vector<const TagType*>{
      &EXT_X_BITRATE::type(), &EXT_X_INDEPENDENT_SEGMENTS::type(), &EXT_X_VERSION::type()};
  const MediaPlaylist playlist =
      media(parse("#EXTM3U\n#EXT-X-INDEPENDENT-SEGMENTS\n#EXT-X-VERSION:3\n"
                  "#EXT-X-TARGETDURATION:1\n#EXT-X-BITRATE:5\n#EXT-X-BITRATE:6\n",
                  PlaylistType::video, &extra));
  EXPECT_EQ(playlist.extraTags().count("#EXT-X-VERSION:"), 0u);
  ASSERT_EQ(playlist.extraTags().at("#EXT-X-BITRATE:").size(), 2u);
  EXPECT_EQ(playlist.extraTags().at("#EXT-X-BITRATE:")[1]->tagDataText(), "6");
  EXPECT_EQ(playlist.extraTags().at("#EXT-X-INDEPENDENT-SEGMENTS").size(), 1u);
}

TEST(PlaylistParserTest, PostProcessingRewritesEntriesWithTheSameLineCount) {
  std::vector<std::vector<std::string>> seen;
  PlaylistParser::ExtraParams extra;
  extra.linePostProcessHandler = [&seen](std::vector<std::string> lines) {
    seen.push_back(lines);
    if (lines.size() == 2) {
      lines[1] = "http://cdn.test/" + lines[1];
      return lines;
    }
    if (lines[0] == "#EXT-X-ENDLIST") return std::vector<std::string>{"a", "b"};
    return lines;
  };
  const std::string text =
      "#EXTM3U\r\n#EXT-X-TARGETDURATION:1\r\n#EXTINF:1,\r\na.ts\r\n#EXT-X-ENDLIST";
  const MediaPlaylist playlist = media(parse(text, PlaylistType::video, &extra));
  EXPECT_EQ(playlist.alteredText(),
            "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nhttp://cdn.test/a.ts\n#EXT-X-ENDLIST");
  EXPECT_EQ(playlist.originalText(), text);
  ASSERT_EQ(seen.size(), 3u);  // line 0 never reaches the handler
  EXPECT_EQ(seen[1], (std::vector<std::string>{"#EXTINF:1,", "a.ts"}));
  EXPECT_EQ(playlist.tags().mediaSegments()[0]->uri(), "a.ts");

  PlaylistParser::ExtraParams identity;
  identity.linePostProcessHandler = [](std::vector<std::string> lines) { return lines; };
  auto unchanged =
      parse("#EXTM3U\r#EXT-X-TARGETDURATION:1\xE2\x80\xA8", PlaylistType::video, &identity);
  EXPECT_EQ(media(unchanged).alteredText(), "#EXTM3U\n#EXT-X-TARGETDURATION:1\n");
}

TEST(PlaylistParserTest, CancelFromAnotherThreadWhileParsingIsSafe) {
  std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n";
  for (int i = 0; i < 20000; ++i) text += "#EXTINF:1,\nseg" + std::to_string(i) + ".ts\n";
  PlaylistParser parser;
  std::optional<PlaylistParser::Outcome> outcome;
  std::thread parsing([&] { outcome.emplace(parser.parse({text, PlaylistType::video, kBase})); });
  parser.cancel();
  parsing.join();
  platform::DispatchQueue::global()->drain();
  ASSERT_TRUE(outcome && *outcome);
  if (!outcome->value().isCancelled()) {
    EXPECT_EQ(outcome->value().media()->tags().mediaSegments().size(), 20000u);
  }
  auto after = parser.parse({text, PlaylistType::video, kBase});
  ASSERT_TRUE(after);
  EXPECT_TRUE(after.value().isCancelled());
}

// A read that hands the tags of its lists on keeps none of them, nor the text, and shows each
// tag with the line that ends its entry, where it stands in the text read.
TEST(PlaylistParserTest, HandsListedTagsToASinkWithTheLastLineOfTheirEntry) {
  const std::string text =
      "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:4\n#EXTINF:6,\na.ts\n"
      "#EXT-X-KEY:METHOD=NONE\n#EXTINF:5,\n#EXT-X-BITRATE:800\nb.ts\n";
  const char* start = text.data();
  std::vector<std::pair<std::string, size_t>> seen;
  const auto outcome = PlaylistParser().read(
      text, PlaylistType::video, kBase,
      [&](const std::shared_ptr<const Tag>& tag, std::string_view lastLine) {
        seen.emplace_back(std::string(tag->text()), static_cast<size_t>(lastLine.data() - start));
        EXPECT_EQ(lastLine, text.substr(lastLine.data() - start, lastLine.size()));
      });
  const MediaPlaylist& playlist = media(outcome);
  EXPECT_TRUE(playlist.tags().mediaSegments().empty());
  EXPECT_TRUE(playlist.tags().keySegments().empty());
  EXPECT_EQ(playlist.tags().mediaSequence()->value(), 4);
  EXPECT_EQ(playlist.originalText(), "") << "the text is read where it stands, never copied";
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].second, text.find("a.ts"));
  EXPECT_EQ(seen[1].second, text.find("#EXT-X-KEY"));
  EXPECT_EQ(seen[2].second, text.find("b.ts"));
}

}  // namespace
}  // namespace ombrelia
