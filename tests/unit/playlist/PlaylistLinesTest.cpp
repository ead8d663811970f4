#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/LineSplitter.hpp"
#include "playlist/parser/PlaylistLines.hpp"

namespace ombrelia {
namespace {

// The same lines, at the same places in the text, as LineSplitter finds: the store keeps where
// each URI stands, and the rewriter and the parser must agree with every other reader.
TEST(PlaylistLines, GivesTheLinesLineSplitterGivesWhateverTheBreaks) {
  const std::vector<std::string> texts = {
      "",
      "\n",
      "#EXTM3U\n#EXTINF:6,\na.ts\n#EXT-X-ENDLIST\n",
      "#EXTM3U\n\n\na.ts",
      "#EXTM3U\r\n#EXTINF:6,\r\na.ts\r\n",
      "#EXTM3U\ra.ts\vb.ts\fc.ts\n",
      "#EXTM3U\n\xC3\x85.ts\n",  // "Å": its 85 is no break
      "#EXTM3U\n#EXTINF:6,\xC2\x85"
      "a.ts\n",  // U+0085
      "#EXTM3U\n#EXTINF:6,\xE2\x80\xA8"
      "a.ts\xE2\x80\xA9"
      "b.ts\n\xE2\x82\xAC",
      // Other breaks only after lines broken at LF alone, and lead bytes that start none.
      "#EXTM3U\n#EXTINF:6,\na.ts\r\nb.ts\rc.ts\n",
      "#EXTM3U\na-long-enough-line-for-a-block.ts\nb.ts\xC2\n\xE2\x80\xA9\n",
      "#EXTM3U\nthe-last-line-holds-a-form-feed-past-a-block\f",
      "#EXTM3U\n\n\r",
  };
  for (const std::string& text : texts) {
    const std::vector<std::string_view> expected = LineSplitter::split(text);
    const std::vector<std::string_view> lines = PlaylistLines::split(text);
    ASSERT_EQ(lines.size(), expected.size()) << text;
    EXPECT_EQ(PlaylistLines::count(text), expected.size()) << text;
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].data(), expected[i].data()) << text << " line " << i;
      EXPECT_EQ(lines[i].size(), expected[i].size()) << text << " line " << i;
    }
    // A sink that says stop is given no further line.
    size_t given = 0;
    PlaylistLines::forEach(text, [&given](std::string_view) { return ++given < 2; });
    EXPECT_EQ(given, std::min<size_t>(2, expected.size())) << text;
  }
}

}  // namespace
}  // namespace ombrelia
