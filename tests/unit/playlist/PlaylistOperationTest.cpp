// The playlist operation: fetch then parse.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "playlist/operation/PlaylistOperation.hpp"
#include "support/ScriptedPlaylistFetcher.hpp"

namespace ombrelia {
namespace {

const std::string kMediaPlaylist = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6.0,\nseg0.ts\n";

TEST(PlaylistOperationFetcherTest, FetchesForFifteenSecondsAndHandsTheParserTheCallersExtras) {
  auto fetcher =
      std::make_shared<test::ScriptedPlaylistFetcher>(Result<std::string>::success(kMediaPlaylist));
  std::atomic<int> handled{0};
  PlaylistParser::ExtraParams parserExtras;
  parserExtras.linePostProcessHandler = [&](std::vector<std::string> lines) {
    ++handled;
    return lines;
  };
  PlaylistOperation op({fetcher, *Url::parse("http://o.test/a.m3u8"), PlaylistType::video},
                       PlaylistOperation::ExtraParams{parserExtras});
  op.start();
  EXPECT_EQ(fetcher->timeoutIntervals(), std::vector<double>{15.0});
  ASSERT_TRUE(op.result() && op.result()->media());
  EXPECT_GT(handled, 0);
}

} // namespace
} // namespace ombrelia
