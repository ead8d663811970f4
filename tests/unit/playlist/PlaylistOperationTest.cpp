// The playlist operation: fetch then parse, with its two cancellation points.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/OperationQueue.hpp"
#include "playlist/fetcher/DefaultPlaylistFetcher.hpp"
#include "playlist/fetcher/PlaylistFetcherError.hpp"
#include "playlist/operation/PlaylistOperation.hpp"
#include "support/CountdownLatch.hpp"
#include "support/Latch.hpp"
#include "support/TestHttpServer.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using test::TestHttpResponse;
using test::TestHttpServer;

const std::string kMediaPlaylist =
    "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:0\n#EXTINF:6.0,\nseg0.ts\n";

// Answers from a script and records what it was asked.
class ScriptedFetcher : public PlaylistFetcher {
public:
  explicit ScriptedFetcher(Result<std::string> answer) : answer_(std::move(answer)) {}

  Result<std::string> fetchPlaylist(const Url& from, double timeoutInterval) override {
    std::lock_guard lock(mutex_);
    urls_.push_back(from);
    timeoutIntervals_.push_back(timeoutInterval);
    return answer_;
  }
  void fetchPlaylist(const Url& from, double timeoutInterval,
                     CompletionHandler completionHandler) override {
    completionHandler(fetchPlaylist(from, timeoutInterval));
  }

  std::vector<double> timeoutIntervals() const {
    std::lock_guard lock(mutex_);
    return timeoutIntervals_;
  }

private:
  mutable std::mutex mutex_;
  Result<std::string> answer_;
  std::vector<Url> urls_;
  std::vector<double> timeoutIntervals_;
};

class PlaylistOperationTest : public ::testing::Test {
protected:
  Url url(std::string_view path) const { return *Url::parse(server.url(path)); }

  std::shared_ptr<PlaylistOperation> operation(std::string_view path,
                                               PlaylistType type = PlaylistType::video) {
    return std::make_shared<PlaylistOperation>(PlaylistOperation::Params(nullptr, url(path), type),
                                               std::nullopt);
  }

  TestHttpServer server;
};

TEST_F(PlaylistOperationTest, ParsesWithThePlaylistsDirectoryAsBaseUrl) {
  server.route("/live/v0/index.m3u8", TestHttpResponse::ok(kMediaPlaylist));
  auto op = operation("/live/v0/index.m3u8");
  EXPECT_NE(dynamic_cast<DefaultPlaylistFetcher*>(op->params().fetcher.get()), nullptr)
      << "an operation made without a fetcher uses the default one";

  op->start();
  EXPECT_FALSE(op->error());
  const auto result = op->result();
  ASSERT_TRUE(result);
  const auto* media = result->media();
  ASSERT_NE(media, nullptr);
  EXPECT_EQ(media->baseUrl().toString(), server.url("/live/v0/"));
  EXPECT_EQ(media->originalText(), kMediaPlaylist);
}

TEST_F(PlaylistOperationTest, LeavesTheFetchOrParseErrorAndNoResult) {
  TestHttpResponse missing;
  missing.status = 404;
  server.route("/missing.m3u8", missing);
  server.route("/page.html", TestHttpResponse::ok("<html></html>", "text/html"));

  auto notFound = operation("/missing.m3u8");
  notFound->start();
  EXPECT_FALSE(notFound->result());
  ASSERT_TRUE(notFound->error());
  const auto* fetchError = notFound->error()->as<PlaylistFetcherError>();
  ASSERT_NE(fetchError, nullptr);
  EXPECT_EQ(fetchError->kind(), PlaylistFetcherError::Kind::statusCode);
  EXPECT_EQ(fetchError->code(), 404);

  auto notAPlaylist = operation("/page.html");
  notAPlaylist->start();
  EXPECT_FALSE(notAPlaylist->result());
  ASSERT_TRUE(notAPlaylist->error());
  const auto* parseError = notAPlaylist->error()->as<PlaylistParseError>();
  ASSERT_NE(parseError, nullptr);
  EXPECT_EQ(*parseError, PlaylistParseError::malformedPlaylist());
  EXPECT_EQ(notAPlaylist->error()->localizedDescription(),
            "Malformed playlist, missing required elements");
}

TEST_F(PlaylistOperationTest, CancelledBeforeItStartsSendsNoRequest) {
  server.route("/index.m3u8", TestHttpResponse::ok(kMediaPlaylist));
  auto op = operation("/index.m3u8");
  op->cancel();
  op->start();
  EXPECT_TRUE(op->isFinished());
  EXPECT_FALSE(op->error());
  EXPECT_FALSE(op->result());
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(PlaylistOperationTest, CancelledDuringItsFetchDropsTheOutcome) {
  test::Latch requested;
  server.route("/slow.m3u8", [&](const test::TestHttpRequest&) {
    requested.countDown();
    TestHttpResponse response = TestHttpResponse::ok(kMediaPlaylist);
    response.delay = 200ms;
    return response;
  });
  auto queue = platform::OperationQueue::create();
  auto op = operation("/slow.m3u8");
  test::CountdownLatch finished(1);
  op->setCompletionBlock([&] { finished.countDown(); });

  queue->addOperation(op);
  ASSERT_TRUE(requested.waitFor(1));
  op->cancel();
  ASSERT_TRUE(finished.wait());
  EXPECT_FALSE(op->error()) << "the fetch ran on to its answer, which was dropped";
  EXPECT_FALSE(op->result());
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST(PlaylistOperationFetcherTest, FetchesForAtMostFifteenSecondsWithTheCallersFetcher) {
  auto fetcher = std::make_shared<ScriptedFetcher>(Result<std::string>::success(kMediaPlaylist));
  PlaylistOperation op({fetcher, *Url::parse("http://o.test/a/b.m3u8"), PlaylistType::video},
                       std::nullopt);
  op.start();
  EXPECT_EQ(fetcher->timeoutIntervals(), std::vector<double>{15.0});
  ASSERT_TRUE(op.result() && op.result()->media());
}

TEST(PlaylistOperationFetcherTest, FailureWithoutAnErrorLeavesBothAbsent) {
  auto fetcher = std::make_shared<ScriptedFetcher>(Result<std::string>::failure(std::nullopt));
  PlaylistOperation op({fetcher, *Url::parse("http://o.test/a.m3u8"), PlaylistType::video},
                       std::nullopt);
  op.start();
  EXPECT_FALSE(op.error());
  EXPECT_FALSE(op.result());
}

TEST(PlaylistOperationFetcherTest, HandsTheCallersParserExtrasToTheParser) {
  auto fetcher = std::make_shared<ScriptedFetcher>(Result<std::string>::success(kMediaPlaylist));
  std::atomic<int> handled{0};
  PlaylistParser::ExtraParams parserExtras;
  parserExtras.linePostProcessHandler = [&](std::vector<std::string> lines) {
    ++handled;
    return lines;
  };
  PlaylistOperation op({fetcher, *Url::parse("http://o.test/a.m3u8"), PlaylistType::video},
                       PlaylistOperation::ExtraParams{parserExtras});
  op.start();
  ASSERT_TRUE(op.result() && op.result()->media());
  EXPECT_GT(handled, 0);
}

} // namespace
} // namespace ombrelia
