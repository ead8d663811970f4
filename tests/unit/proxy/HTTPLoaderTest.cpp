#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <thread>

#include "analytics/AnalyticsService.hpp"
#include "platform/DispatchQueue.hpp"
#include "proxy/HTTPLoader.hpp"
#include "proxy/PlaylistWork.hpp"
#include "proxy/PlaylistWorkBudget.hpp"
#include "support/CountdownLatch.hpp"
#include "support/TestHttpServer.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia {
namespace {

using test::TestHttpResponse;
using test::TestHttpServer;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class HTTPLoaderTest : public ::testing::Test {
 protected:
  enum class Kind { general, playlist, segment };

  // Asks for `url` as `kind`; its answer comes through the future.
  std::future<HTTPLoader::Response> request(Kind kind, const std::string& url,
                                            std::optional<std::string> range = std::nullopt) {
    auto promise = std::make_shared<std::promise<HTTPLoader::Response>>();
    auto future = promise->get_future();
    auto completion = [promise](HTTPLoader::Response response) { promise->set_value(response); };
    const Url parsed = *Url::parse(url);
    switch (kind) {
      case Kind::general:
        loader->requestGeneral(parsed, completion, range);
        break;
      case Kind::playlist:
        loader->requestPlaylist(parsed, completion);
        break;
      case Kind::segment:
        loader->requestSegment(parsed, completion, range);
        break;
    }
    return future;
  }
  std::optional<HTTPLoader::Response> load(Kind kind, const std::string& url,
                                           std::optional<std::string> range = std::nullopt) {
    auto future = request(kind, url, std::move(range));
    if (future.wait_for(test::scaledWait(10s)) != std::future_status::ready) return std::nullopt;
    // The analytics block is queued on the main queue before the completion runs.
    platform::DispatchQueue::main()->drain();
    return future.get();
  }
  // The playlist work budget full: the oldest playlist's work holds beside it, and `filling`
  // holds the rest, until it is dropped.
  struct FullBudget {
    std::shared_ptr<PlaylistWork> oldest;
    std::shared_ptr<PlaylistWork> filling;
  };
  static FullBudget fillBudget() {
    const auto& budget = PlaylistWorkBudget::shared();
    FullBudget full{budget->begin(), budget->begin()};
    full.filling->holdExactly(PlaylistWorkBudget::kMaxPlaylistBytesInFlight);
    return full;
  }

  TestHttpServer server;
  std::shared_ptr<platform::HttpClient> client = platform::HttpClient::create();
  std::shared_ptr<AnalyticsService> analytics = AnalyticsService::create("key");
  std::shared_ptr<HTTPLoader> loader = HTTPLoader::create(analytics, client);
};

TEST_F(HTTPLoaderTest, EachKindPassesOnTheOriginsMimeTypeOrFallsBackToItsOwn) {
  server.route("/bare", TestHttpResponse::ok("bytes"));
  server.route("/typed", TestHttpResponse::ok("bytes", "video/MP2T; charset=binary"));
  const std::pair<Kind, const char*> kinds[] = {{Kind::general, "application/octet-stream"},
                                                {Kind::playlist, "application/x-mpegurl"},
                                                {Kind::segment, "video"}};
  for (const auto& [kind, fallback] : kinds) {
    EXPECT_EQ(load(kind, server.url("/bare"))->contentType, fallback);
    auto response = load(kind, server.url("/typed"));
    ASSERT_TRUE(response && response->data) << fallback;
    EXPECT_EQ(response->contentType, "video/mp2t") << fallback;
    EXPECT_EQ(response->data->toString(), "bytes");
    EXPECT_EQ(response->statusCode, 200);
  }
  EXPECT_EQ(analytics->metrics().nReq_server, 6);
}

// Whatever a playlist's fetch brings back goes to the player within the playlist work budget:
// an error page of megabytes, let go of the budget at the end of the fetch, went out uncounted
// to as many players as asked.
TEST_F(HTTPLoaderTest, ErrorPageOfAPlaylistHoldsItsShareOfTheBudgetUntilAnswered) {
  TestHttpResponse missing = TestHttpResponse::ok(std::string(300'000, 'e'), "text/html");
  missing.status = 404;
  server.route("/gone.m3u8", missing);
  const auto response = load(Kind::playlist, server.url("/gone.m3u8"));
  ASSERT_TRUE(response && response->data);
  EXPECT_EQ(response->statusCode, 404);
  ASSERT_TRUE(response->playlistWork) << "the error page left the budget with its fetch";
  EXPECT_EQ(response->playlistWork->held(), 300'000u);
}

// A playlist fetched under a path that does not name one takes the budget's gate as its body
// arrives, as any playlist does: it waits while the budget is full (it used to be counted only
// once whole, room or not), and goes on once room frees. Other resources pass the gate.
TEST_F(HTTPLoaderTest, PlaylistUnderAnotherPathWaitsForRoomInTheBudgetAsAnyPlaylist) {
  server.route("/index", TestHttpResponse::ok("#EXTM3U\n#EXT-X-TARGETDURATION:4\n"
                                              "#EXTINF:4,\nsegment0.ts\n#EXT-X-ENDLIST\n",
                                              "text/plain"));
  server.route("/key", TestHttpResponse::ok(std::string(16, 'k'), "application/octet-stream"));
  auto full = fillBudget();
  auto future = request(Kind::general, server.url("/index"));
  const auto key = load(Kind::general, server.url("/key"));
  ASSERT_TRUE(key && key->data) << "a resource that is no playlist waited for playlist room";
  EXPECT_FALSE(key->playlistWork);
  EXPECT_EQ(future.wait_for(500ms), std::future_status::timeout)
      << "a playlist under another path passed a full budget";
  full.filling.reset();
  ASSERT_EQ(future.wait_for(test::scaledWait(10s)), std::future_status::ready);
  const auto response = future.get();
  ASSERT_TRUE(response.data);
  ASSERT_TRUE(response.playlistWork);
  EXPECT_EQ(response.playlistWork->held(), response.data->size());
}

// An origin that starts its body "#EXTM" (too short to tell it from any other) passed the gate
// under another path and went on as fast as it liked: a piece too short to tell now counts as a
// playlist's, and waits for room as one.
TEST_F(HTTPLoaderTest, FirstPieceTooShortToTellIsGatedAsAPlaylist) {
  TestHttpResponse shortFirst = TestHttpResponse::ok("#EXTM3U\n#EXT-X-ENDLIST\n", "text/plain");
  shortFirst.tricklePieceBytes = 5;
  shortFirst.trickleInterval = 50ms;
  server.route("/short", shortFirst);
  auto full = fillBudget();
  auto future = request(Kind::general, server.url("/short"));
  EXPECT_EQ(future.wait_for(1500ms), std::future_status::timeout)
      << "a playlist whose first piece was \"#EXTM\" passed a full budget";
  full.filling.reset();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  const auto response = future.get();
  ASSERT_TRUE(response.data && response.playlistWork);
  EXPECT_EQ(response.data->view(), "#EXTM3U\n#EXT-X-ENDLIST\n");
}

// A slow playlist nobody waits behind comes whole (SlowPlaylistLink); but once another playlist
// waits for the room a trickling fetch holds, the trickling one is ended (its player answered an
// error, as for any failed fetch) once it stays slow a few windows in a row, and the waiting one
// goes on. It used to wait for the old 5 s minimum rate to end it.
TEST_F(HTTPLoaderTest, TricklingPlaylistIsEndedOnceAnotherWaitsForItsRoom) {
  TestHttpResponse trickling =
      TestHttpResponse::ok("#EXTM3U\n" + std::string(100'000, '#'), "application/x-mpegurl");
  trickling.tricklePieceBytes = 8000;
  trickling.trickleInterval = 3s;
  server.route("/trickle.m3u8", trickling);
  server.route("/live.m3u8", TestHttpResponse::ok("#EXTM3U\n#EXT-X-TARGETDURATION:4\n"));
  const auto& budget = PlaylistWorkBudget::shared();
  // Reloaded, it takes its last size before it starts, so its pieces never wait at the gate:
  // it just trickles while holding room.
  budget->rememberBodyBytes(server.url("/trickle.m3u8"), 200'000);
  auto oldest = budget->begin();
  auto endedFuture = request(Kind::playlist, server.url("/trickle.m3u8"));
  const auto until = Clock::now() + 10s;
  while (budget->bytesInFlight() == 0 && Clock::now() < until) std::this_thread::sleep_for(10ms);
  ASSERT_GT(budget->bytesInFlight(), 0u) << "the trickling body took no room";
  auto filling = budget->begin();
  filling->holdExactly(PlaylistWorkBudget::kMaxPlaylistBytesInFlight - budget->bytesInFlight());

  const auto asked = Clock::now();
  const auto live = load(Kind::playlist, server.url("/live.m3u8"));
  const auto waited = Clock::now() - asked;
  ASSERT_TRUE(live && live->data) << "the waiting playlist never got room";
  // Ended once it stayed slow for its windows in a row, not a moment more.
  const auto endsWithin = PlaylistWorkBudget::kProgressWindow *
                          (PlaylistWorkBudget::kSlowWindowsBeforeEnding + 3);
  EXPECT_LT(waited, endsWithin) << "the trickling fetch kept the room another waited for";
  ASSERT_EQ(endedFuture.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(endedFuture.get().data) << "the trickling fetch went on";
}

TEST_F(HTTPLoaderTest, RefusedConnectionCountsOneRequestOneErrorAndASegmentDelay) {
  std::string closed;
  {
    TestHttpServer gone;
    closed = gone.url("/seg2.ts");
  }
  auto response = load(Kind::segment, closed);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->data, std::nullopt);
  EXPECT_EQ(response->errorCode, -1004);

  const auto metrics = analytics->metrics();
  EXPECT_EQ(metrics.nReq, 1);
  EXPECT_EQ(metrics.HTTP_errors, (std::map<int64_t, int64_t>{{-1004, 1}}));
  EXPECT_GT(metrics.ttfb_server, 0.0) << "a failed segment still reports its delay";
}

TEST_F(HTTPLoaderTest, ConcurrentRequestsAllCountAndCompleteOnTheDelegateQueue) {
  constexpr int kRequests = 20;
  server.route("/p", TestHttpResponse::ok("p"));
  test::CountdownLatch completed(kRequests);
  std::atomic<int> onDelegateQueue{0};
  for (int i = 0; i < kRequests; ++i) {
    loader->requestGeneral(*Url::parse(server.url("/p")), [&](HTTPLoader::Response) {
      if (client->delegateQueue()->isCurrent() && !platform::DispatchQueue::main()->isCurrent()) {
        ++onDelegateQueue;
      }
      completed.countDown();
    });
  }
  ASSERT_TRUE(completed.wait());
  EXPECT_EQ(onDelegateQueue.load(), kRequests);
  EXPECT_EQ(analytics->metrics().nReq_server, kRequests);
}

TEST_F(HTTPLoaderTest, LoaderReleasedWithARequestRunningStillCompletesIt) {
  TestHttpResponse slow = TestHttpResponse::ok("late");
  slow.delay = 100ms;
  server.route("/slow", slow);
  test::CountdownLatch completed(1);
  std::optional<std::string> body;
  loader->requestGeneral(*Url::parse(server.url("/slow")), [&](HTTPLoader::Response response) {
    if (response.data) body = response.data->toString();
    completed.countDown();
  });
  loader.reset();
  ASSERT_TRUE(completed.wait());
  EXPECT_EQ(body, "late");
}

}  // namespace
}  // namespace ombrelia
