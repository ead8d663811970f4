// The default playlist fetcher against a loopback origin: its results, their error texts and the
// lines it writes to standard output, in the blocking and the asynchronous form.
#include <ombrelia/OLogModule.hpp>
#include <ombrelia/OLoggerConfig.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <limits>
#include <memory>
#include <string>

#include "platform/HttpError.hpp"
#include "playlist/fetcher/DefaultPlaylistFetcher.hpp"
#include "playlist/fetcher/PlaylistFetcherError.hpp"
#include "support/TestHttpServer.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using platform::HttpError;
using platform::HttpErrorCause;
using test::TestHttpResponse;
using Kind = PlaylistFetcherError::Kind;

// One fetch in either form, with what it printed.
struct Fetched {
  Result<std::string> result;
  std::string printed;

  const PlaylistFetcherError* fetcherError() const {
    const auto* error = result.errorIf();
    return error && *error ? (*error)->as<PlaylistFetcherError>() : nullptr;
  }
  std::string description() const {
    const auto* error = result.errorIf();
    return error && *error ? (*error)->localizedDescription() : "(no error)";
  }
};

class PlaylistFetcherTest : public ::testing::Test {
 protected:
  Url url(std::string_view path) const { return *Url::parse(server.url(path)); }

  Fetched blocking(const Url& from, double timeoutInterval = 5.0) {
    ::testing::internal::CaptureStdout();
    auto result = fetcher.fetchPlaylist(from, timeoutInterval);
    return {std::move(result), ::testing::internal::GetCapturedStdout()};
  }

  Fetched async(const Url& from) {
    auto promise = std::make_shared<std::promise<Result<std::string>>>();
    auto future = promise->get_future();
    ::testing::internal::CaptureStdout();
    fetcher.fetchPlaylist(from, 5.0, [promise](auto result) { promise->set_value(result); });
    const bool answered = future.wait_for(test::scaledWait(10s)) == std::future_status::ready;
    std::string printed = ::testing::internal::GetCapturedStdout();
    if (!answered) return {Result<std::string>::failure(std::nullopt), "(no answer)"};
    return {future.get(), std::move(printed)};
  }

  test::TestHttpServer server;
  DefaultPlaylistFetcher fetcher;
};

TEST_F(PlaylistFetcherTest, AnyTwoHundredAnswerIsThePlaylistTextEvenAnEmptyOne) {
  const std::string playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\na.ts\n";
  server.route("/index.m3u8", TestHttpResponse::ok(playlist, "application/vnd.apple.mpegurl"));
  server.route("/picture", TestHttpResponse::ok(playlist, "image/png"));
  server.route("/empty", TestHttpResponse::ok(""));

  for (auto [path, text] :
       {std::pair{"/index.m3u8", playlist}, {"/picture", playlist}, {"/empty", std::string()}}) {
    for (const auto& fetched : {blocking(url(path)), async(url(path))}) {
      ASSERT_TRUE(fetched.result.hasValue()) << path << ": " << fetched.description();
      EXPECT_EQ(fetched.result.value(), text) << path;
      EXPECT_EQ(fetched.printed, "") << path;
    }
  }
  EXPECT_EQ(server.requests().front().method, "GET");
}

TEST_F(PlaylistFetcherTest, BodyThatIsNotUtf8FailsAndOnlyTheAsynchronousFormSaysSo) {
  server.route("/latin1.m3u8", TestHttpResponse::ok("#EXTM3U\n#EXTINF:6,caf\xE9\na.ts\n"));

  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  const Fetched quiet = blocking(url("/latin1.m3u8"));
  const Fetched said = async(url("/latin1.m3u8"));
  // Through the logger: with it silenced, nothing is printed.
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  const Fetched silenced = async(url("/latin1.m3u8"));
  for (const auto* fetched : {&quiet, &said}) {
    ASSERT_NE(fetched->fetcherError(), nullptr);
    EXPECT_EQ(fetched->fetcherError()->kind(), Kind::invalidData);
  }
  EXPECT_EQ(quiet.printed, "");
  EXPECT_EQ(said.printed, "[Ombrelia] [Error] [" +
                              std::string(rawValue(OLogModule::playlistFetcher)) +
                              "] Invalid data, failed to convert data to String with utf8 "
                              "encoding\n");
  EXPECT_EQ(silenced.printed, "");
}

TEST_F(PlaylistFetcherTest, RefusedConnectionIsWrappedWhenBlockingAndBareWhenAsynchronous) {
  Url closed;
  {
    test::TestHttpServer gone;
    closed = *Url::parse(gone.url("/index.m3u8"));
  }

  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  const Fetched wrapped = blocking(closed);
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  ASSERT_NE(wrapped.fetcherError(), nullptr);
  ASSERT_EQ(wrapped.fetcherError()->kind(), Kind::error);
  const auto* underlying = wrapped.fetcherError()->underlyingError()->as<HttpError>();
  ASSERT_NE(underlying, nullptr);
  EXPECT_EQ(underlying->cause, HttpErrorCause::cannotConnectToHost);
  EXPECT_EQ(wrapped.description(), "received an error with description: " + underlying->message);
  EXPECT_NE(wrapped.printed.find("] There was an error with your request: "), std::string::npos)
      << wrapped.printed;

  const Fetched bare = async(closed);
  ASSERT_FALSE(bare.result.hasValue());
  ASSERT_TRUE(bare.result.error());
  EXPECT_EQ(bare.fetcherError(), nullptr) << "not wrapped";
  EXPECT_NE(bare.result.error()->as<HttpError>(), nullptr);
  EXPECT_EQ(bare.printed, "") << "printed past the silenced logger";
}

TEST_F(PlaylistFetcherTest, StalledServerTimesOutAtTheDeadlineAndTheLateCompletionIsHarmless) {
  TestHttpResponse stalled;
  stalled.mode = TestHttpResponse::Mode::stallBeforeHead;
  server.route("/stalled.m3u8", stalled);
  // Answers after the caller's deadline but within the transfer's own time limit.
  TestHttpResponse late = TestHttpResponse::ok("#EXTM3U\n");
  late.delay = 400ms;
  server.route("/late.m3u8", late);
  server.route("/after.m3u8", TestHttpResponse::ok("#EXTM3U\n"));

  // Zero, negative and NaN intervals end the wait at once instead of never.
  for (auto [path, interval] : {std::pair{"/stalled.m3u8", 0.2},
                                {"/late.m3u8", 0.2},
                                {"/stalled.m3u8", 0.0},
                                {"/stalled.m3u8", -1.0},
                                {"/stalled.m3u8", std::numeric_limits<double>::quiet_NaN()}}) {
    const auto start = std::chrono::steady_clock::now();
    const Fetched fetched = blocking(url(path), interval);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_NE(fetched.fetcherError(), nullptr) << path << " " << interval;
    EXPECT_EQ(fetched.fetcherError()->kind(), Kind::timeout) << path << " " << interval;
    EXPECT_EQ(fetched.description(), "request was timed out");
    EXPECT_GE(elapsed, std::chrono::duration<double>(interval > 0 ? interval : 0));
    EXPECT_LT(elapsed, 2s);
    EXPECT_EQ(fetched.printed, "");
  }

  // The abandoned transfers were cancelled before this one was sent, so their completions ran
  // first on the client's serial queue: ASan sees any write into a gone caller's storage, and
  // they printed nothing.
  const Fetched after = async(url("/after.m3u8"));
  ASSERT_TRUE(after.result.hasValue()) << after.description();
  EXPECT_EQ(after.printed, "");
}

}  // namespace
}  // namespace ombrelia
