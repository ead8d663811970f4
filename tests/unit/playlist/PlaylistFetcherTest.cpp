// The default playlist fetcher against a loopback origin: its results, their error texts and the
// lines it writes to standard output, in the blocking and the asynchronous form.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "platform/HttpClient.hpp"
#include "platform/HttpError.hpp"
#include "playlist/fetcher/DefaultPlaylistFetcher.hpp"
#include "playlist/fetcher/PlaylistFetcherError.hpp"
#include "support/TestHttpServer.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using platform::HttpError;
using platform::HttpErrorCause;
using test::TestHttpResponse;
using test::TestHttpServer;

constexpr double kTimeout = 5.0;

const PlaylistFetcherError* fetcherError(const Result<std::string>& result) {
  auto error = result.error();
  return error ? error->as<PlaylistFetcherError>() : nullptr;
}

class PlaylistFetcherTest : public ::testing::Test {
protected:
  Url url(std::string_view path) const { return *Url::parse(server.url(path)); }

  // The asynchronous form, waited for with a bound.
  std::optional<Result<std::string>> fetchAsync(const Url& from,
                                                double timeoutInterval = kTimeout) {
    auto promise = std::make_shared<std::promise<Result<std::string>>>();
    auto future = promise->get_future();
    fetcher.fetchPlaylist(from, timeoutInterval,
                          [promise](Result<std::string> result) { promise->set_value(result); });
    if (future.wait_for(10s) != std::future_status::ready)
      return std::nullopt;
    return future.get();
  }

  // Standard output written while `run` runs.
  template <typename Run> static std::string printedBy(Run run) {
    ::testing::internal::CaptureStdout();
    run();
    return ::testing::internal::GetCapturedStdout();
  }

  TestHttpServer server;
  DefaultPlaylistFetcher fetcher;
};

TEST_F(PlaylistFetcherTest, AnyTwoHundredAnswerIsThePlaylistTextWhateverItsType) {
  const std::string playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\na.ts\n";
  server.route("/index.m3u8", TestHttpResponse::ok(playlist, "application/vnd.apple.mpegurl"));
  server.route("/picture", TestHttpResponse::ok(playlist, "image/png"));
  server.route("/empty", TestHttpResponse::ok(""));
  TestHttpResponse created = TestHttpResponse::ok(playlist);
  created.status = 203;
  server.route("/created", created);

  for (const char* path : {"/index.m3u8", "/picture", "/created"}) {
    auto blocking = fetcher.fetchPlaylist(url(path), kTimeout);
    ASSERT_TRUE(blocking.isSuccess()) << path;
    EXPECT_EQ(*blocking.value(), playlist) << path;
    auto async = fetchAsync(url(path));
    ASSERT_TRUE(async && async->isSuccess()) << path;
    EXPECT_EQ(*async->value(), playlist) << path;
  }

  // Present but empty data is the empty text, not a missing one.
  auto blocking = fetcher.fetchPlaylist(url("/empty"), kTimeout);
  ASSERT_TRUE(blocking.isSuccess());
  EXPECT_EQ(*blocking.value(), "");
  auto async = fetchAsync(url("/empty"));
  ASSERT_TRUE(async && async->isSuccess());
  EXPECT_EQ(*async->value(), "");

  const auto request = server.requests().front();
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/index.m3u8");
}

TEST_F(PlaylistFetcherTest, AnswerOutsideTwoHundredFailsWithItsStatusCode) {
  server.route("/gone.m3u8", [](const test::TestHttpRequest&) {
    TestHttpResponse response = TestHttpResponse::ok("<h1>Not Found</h1>", "text/html");
    response.status = 404;
    return response;
  });

  std::optional<Result<std::string>> blocking;
  const std::string blockingOutput =
      printedBy([&] { blocking = fetcher.fetchPlaylist(url("/gone.m3u8"), kTimeout); });
  const auto* error = fetcherError(*blocking);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->kind(), PlaylistFetcherError::Kind::statusCode);
  EXPECT_EQ(error->code(), 404);
  EXPECT_EQ(blocking->error()->localizedDescription(), "request failed with status code of: 404");
  EXPECT_EQ(blockingOutput, "Your request returned a status code other than 2xx!\n");

  std::optional<Result<std::string>> async;
  const std::string asyncOutput = printedBy([&] { async = fetchAsync(url("/gone.m3u8")); });
  ASSERT_TRUE(async);
  ASSERT_NE(fetcherError(*async), nullptr);
  EXPECT_EQ(fetcherError(*async)->code(), 404);
  EXPECT_EQ(asyncOutput, "Your request returned a status code other than 2xx!\n");
}

TEST_F(PlaylistFetcherTest, BodyThatIsNotUtf8FailsAndOnlyTheAsynchronousFormSaysSo) {
  server.route("/latin1.m3u8", TestHttpResponse::ok("#EXTM3U\n#EXTINF:6,caf\xE9\na.ts\n"));
  server.route("/truncated.m3u8", TestHttpResponse::ok("#EXTM3U\n\xE2\x82"));

  for (const char* path : {"/latin1.m3u8", "/truncated.m3u8"}) {
    std::optional<Result<std::string>> blocking;
    const std::string blockingOutput =
        printedBy([&] { blocking = fetcher.fetchPlaylist(url(path), kTimeout); });
    ASSERT_NE(fetcherError(*blocking), nullptr) << path;
    EXPECT_EQ(fetcherError(*blocking)->kind(), PlaylistFetcherError::Kind::invalidData) << path;
    EXPECT_EQ(blocking->error()->localizedDescription(),
              "request received data is different from expected type");
    EXPECT_EQ(blockingOutput, "") << path;

    std::optional<Result<std::string>> async;
    const std::string asyncOutput = printedBy([&] { async = fetchAsync(url(path)); });
    ASSERT_TRUE(async);
    ASSERT_NE(fetcherError(*async), nullptr) << path;
    EXPECT_EQ(fetcherError(*async)->kind(), PlaylistFetcherError::Kind::invalidData) << path;
    EXPECT_EQ(asyncOutput, "Invalid data, failed to convert data to String with utf8 encoding\n")
        << path;
  }
}

TEST_F(PlaylistFetcherTest, RefusedConnectionIsWrappedWhenBlockingAndBareWhenAsynchronous) {
  Url closed;
  {
    TestHttpServer gone;
    closed = *Url::parse(gone.url("/index.m3u8"));
  }
  const std::string linePrefix = "There was an error with your request: ";

  std::optional<Result<std::string>> blocking;
  const std::string blockingOutput =
      printedBy([&] { blocking = fetcher.fetchPlaylist(closed, kTimeout); });
  const auto* error = fetcherError(*blocking);
  ASSERT_NE(error, nullptr);
  ASSERT_EQ(error->kind(), PlaylistFetcherError::Kind::error);
  ASSERT_TRUE(error->underlyingError());
  const auto* underlying = error->underlyingError()->as<HttpError>();
  ASSERT_NE(underlying, nullptr);
  EXPECT_EQ(underlying->cause, HttpErrorCause::cannotConnectToHost);
  EXPECT_EQ(blocking->error()->localizedDescription(),
            "received an error with description: " + underlying->message);
  EXPECT_EQ(blockingOutput.rfind(linePrefix, 0), 0u) << blockingOutput;
  EXPECT_NE(blockingOutput.find("-1004"), std::string::npos) << blockingOutput;

  std::optional<Result<std::string>> async;
  const std::string asyncOutput = printedBy([&] { async = fetchAsync(closed); });
  ASSERT_TRUE(async && async->error());
  EXPECT_EQ(async->error()->as<PlaylistFetcherError>(), nullptr) << "not wrapped";
  const auto* bare = async->error()->as<HttpError>();
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->cause, HttpErrorCause::cannotConnectToHost);
  EXPECT_EQ(async->error()->localizedDescription(), bare->message);
  EXPECT_EQ(asyncOutput.rfind(linePrefix, 0), 0u) << asyncOutput;
}

TEST_F(PlaylistFetcherTest, StalledServerTimesOutAtTheDeadlineAndItsLateAnswerIsHarmless) {
  TestHttpResponse stalled;
  stalled.mode = TestHttpResponse::Mode::stallBeforeHead;
  server.route("/stalled.m3u8", stalled);
  // Answers after the caller's deadline but before the transfer's own time limit.
  TestHttpResponse late = TestHttpResponse::ok("#EXTM3U\n");
  late.delay = 400ms;
  server.route("/late.m3u8", late);
  server.route("/after.m3u8", TestHttpResponse::ok("#EXTM3U\n"));

  for (const char* path : {"/stalled.m3u8", "/late.m3u8"}) {
    std::optional<Result<std::string>> blocking;
    const auto start = std::chrono::steady_clock::now();
    const std::string output = printedBy([&] { blocking = fetcher.fetchPlaylist(url(path), 0.2); });
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_NE(fetcherError(*blocking), nullptr) << path;
    EXPECT_EQ(fetcherError(*blocking)->kind(), PlaylistFetcherError::Kind::timeout) << path;
    EXPECT_EQ(blocking->error()->localizedDescription(), "request was timed out");
    EXPECT_GE(elapsed, 200ms) << path;
    EXPECT_LT(elapsed, 2s) << path;
    EXPECT_EQ(output, "") << path;
  }

  // The abandoned transfers were cancelled before this one was sent, so their completions have
  // run on the client's serial queue by the time its own does: ASan sees any write into the
  // timed-out callers' storage, and they printed nothing.
  std::optional<Result<std::string>> after;
  const std::string output = printedBy([&] { after = fetchAsync(url("/after.m3u8")); });
  ASSERT_TRUE(after && after->isSuccess());
  EXPECT_EQ(output, "");
  platform::HttpClient::shared()->delegateQueue()->drain();
}

TEST_F(PlaylistFetcherTest, AsynchronousFormReportsTheTransfersOwnTimeOut) {
  TestHttpResponse stalled;
  stalled.mode = TestHttpResponse::Mode::stallBeforeHead;
  server.route("/stalled.m3u8", stalled);

  auto async = fetchAsync(url("/stalled.m3u8"), 0.2);
  ASSERT_TRUE(async && async->error());
  const auto* error = async->error()->as<HttpError>();
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->cause, HttpErrorCause::timedOut);
}

TEST_F(PlaylistFetcherTest, ErrorDescriptionsAreTheIntegratorsTexts) {
  EXPECT_EQ(PlaylistFetcherError::noData().localizedDescription(),
            "request succeeded, but received empty data");
  EXPECT_EQ(PlaylistFetcherError::statusCode(-1).localizedDescription(),
            "request failed with status code of: -1");
  EXPECT_EQ(PlaylistFetcherError::error(PlaylistFetcherError::timeout()).localizedDescription(),
            "received an error with description: request was timed out");
}

TEST_F(PlaylistFetcherTest, NonsensicalTimeOutsStillEndTheWait) {
  TestHttpResponse stalled;
  stalled.mode = TestHttpResponse::Mode::stallBeforeHead;
  server.route("/stalled.m3u8", stalled);
  for (double interval : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
    auto result = fetcher.fetchPlaylist(url("/stalled.m3u8"), interval);
    ASSERT_NE(fetcherError(result), nullptr) << interval;
    EXPECT_EQ(fetcherError(result)->kind(), PlaylistFetcherError::Kind::timeout) << interval;
  }
}

} // namespace
} // namespace ombrelia
