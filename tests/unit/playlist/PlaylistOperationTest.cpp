// The playlist operation: fetch then parse.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "playlist/fetcher/DefaultPlaylistFetcher.hpp"
#include "playlist/operation/PlaylistOperation.hpp"
#include "support/ScriptedPlaylistFetcher.hpp"
#include "support/TestHttpServer.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using test::TestHttpResponse;

const std::string kMediaPlaylist = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6.0,\nseg0.ts\n";

class PlaylistOperationTest : public ::testing::Test {
protected:
  std::shared_ptr<PlaylistOperation> operation(std::string_view path) {
    return std::make_shared<PlaylistOperation>(
        PlaylistOperation::Params(nullptr, *Url::parse(server.url(path)), PlaylistType::video),
        std::nullopt);
  }

  test::TestHttpServer server;
};

TEST_F(PlaylistOperationTest, ParsesWithThePlaylistsDirectoryAsBaseUrl) {
  server.route("/live/v0/index.m3u8", TestHttpResponse::ok(kMediaPlaylist));
  auto op = operation("/live/v0/index.m3u8");
  EXPECT_NE(dynamic_cast<DefaultPlaylistFetcher*>(op->params().fetcher.get()), nullptr)
      << "an operation made without a fetcher uses the default one";

  op->start();
  EXPECT_FALSE(op->error());
  const auto result = op->result();
  ASSERT_TRUE(result && result->media());
  EXPECT_EQ(result->media()->baseUrl().toString(), server.url("/live/v0/"));
  EXPECT_EQ(result->media()->originalText(), kMediaPlaylist);
}

TEST_F(PlaylistOperationTest, TextThatIsNotAPlaylistLeavesTheParseError) {
  server.route("/page.html", TestHttpResponse::ok("<html></html>", "text/html"));
  auto op = operation("/page.html");
  op->start();
  EXPECT_FALSE(op->result());
  ASSERT_TRUE(op->error());
  ASSERT_NE(op->error()->as<PlaylistParseError>(), nullptr);
  EXPECT_EQ(op->error()->localizedDescription(), "Malformed playlist, missing required elements");
}

// Its two cancellation points are exercised through the playlist manager.
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
