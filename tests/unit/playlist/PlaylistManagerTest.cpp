// The playlist manager: single and batch fetches, their three-way results, cancellation and
// the resolution of playlist URIs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.hpp"
#include "playlist/manager/PlaylistManager.hpp"
#include "playlist/playlist/MasterPlaylist.hpp"
#include "support/Latch.hpp"
#include "support/ScriptedPlaylistFetcher.hpp"
#include "support/TestHttpServer.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using test::TestHttpResponse;
using Data = PlaylistManager::PlaylistOperationData;
using Operations = std::vector<std::shared_ptr<PlaylistOperation>>;
using BatchResult = PlaylistManager::Result<std::vector<MediaPlaylist>>;

std::string mediaPlaylist(const std::string& segment) {
  return "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6.0,\n" + segment + "\n";
}

Data data(std::shared_ptr<PlaylistFetcher> fetcher, const std::string& url,
          PlaylistType type = PlaylistType::video) {
  return {PlaylistOperation::Params(std::move(fetcher), *Url::parse(url), type), std::nullopt};
}

class PlaylistManagerTest : public ::testing::Test {
protected:
  Data served(std::string_view path, PlaylistType type = PlaylistType::video) {
    return data(nullptr, server.url(path), type);
  }

  // A single fetch; the future is ready once the completion has run.
  template <typename T>
  std::future<PlaylistManager::Result<T>>
  start(const Data& from, PlaylistManager::OperationHandler operationHandler = nullptr) {
    auto promise = std::make_shared<std::promise<PlaylistManager::Result<T>>>();
    manager.fetchAndParsePlaylist<T>(from, std::move(operationHandler),
                                     [promise](auto result) { promise->set_value(result); });
    return promise->get_future();
  }

  // A batch; `onMainQueue` tells where its completion ran, `operations` what the handler got.
  std::future<BatchResult> startBatch(const std::vector<Data>& from) {
    auto promise = std::make_shared<std::promise<BatchResult>>();
    manager.fetchAndParseMediaPlaylists(
        from, [this](const Operations& created) { operations = created; },
        [this, promise](BatchResult result) {
          onMainQueue = platform::DispatchQueue::main()->isCurrent();
          promise->set_value(std::move(result));
        });
    return promise->get_future();
  }

  template <typename R> static R await(std::future<R> future) {
    if (future.wait_for(test::scaledWait(10s)) != std::future_status::ready)
      ADD_FAILURE() << "no answer";
    return future.get();
  }

  test::TestHttpServer server;
  PlaylistManager manager;
  Operations operations{nullptr};
  bool onMainQueue = false;
};

TEST_F(PlaylistManagerTest, DeliversThePlaylistAsTheRequestedRecordTypeOrSaysWhyNot) {
  const std::string master = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000\nv0/index.m3u8\n";
  server.route("/master.m3u8", TestHttpResponse::ok(master));
  server.route("/v0/index.m3u8", TestHttpResponse::ok(mediaPlaylist("a.ts")));

  auto asMaster = await(start<MasterPlaylist>(served("/master.m3u8", PlaylistType::master)));
  ASSERT_TRUE(asMaster.isSuccess());
  EXPECT_EQ(asMaster.value()->originalText(), master);
  auto asMedia = await(start<MediaPlaylist>(served("/v0/index.m3u8")));
  ASSERT_TRUE(asMedia.isSuccess());
  EXPECT_EQ(asMedia.value()->baseUrl().toString(), server.url("/v0/"));

  // Data of a media kind parses a media playlist, which is not the master asked for.
  auto mismatch = await(start<MasterPlaylist>(served("/v0/index.m3u8")));
  ASSERT_TRUE(mismatch.isFailure() && mismatch.error());
  EXPECT_EQ(mismatch.error()->localizedDescription(),
            "Invalid type was provided for playlist result handling");

  auto notFound = await(start<MediaPlaylist>(served("/missing.m3u8")));
  ASSERT_TRUE(notFound.isFailure() && notFound.error());
  ASSERT_NE(notFound.error()->as<PlaylistFetcherError>(), nullptr) << "passed on unchanged";
  EXPECT_EQ(notFound.error()->as<PlaylistFetcherError>()->code(), 404);

  // A fetcher that fails without an error leaves the operation with neither.
  auto silent =
      std::make_shared<test::ScriptedPlaylistFetcher>(Result<std::string>::failure(std::nullopt));
  auto empty = await(start<MediaPlaylist>(data(silent, "http://o.test/a.m3u8")));
  ASSERT_TRUE(empty.isFailure() && empty.error());
  EXPECT_EQ(empty.error()->localizedDescription(), "Operation result returned empty");
}

TEST_F(PlaylistManagerTest, CancelledOperationEndsItsCallCancelled) {
  server.route("/index.m3u8", TestHttpResponse::ok(mediaPlaylist("a.ts")));
  auto before = await(start<MediaPlaylist>(served("/index.m3u8"),
                                           [](const auto& operation) { operation->cancel(); }));
  EXPECT_TRUE(before.isCancelled());
  EXPECT_EQ(server.requestCount(), 0u) << "an operation cancelled before it ran sends nothing";

  // The manager's cancel() reaches an operation whose fetch is in progress.
  // The answer waits until the test has cancelled.
  test::Latch requested;
  test::Latch cancelled;
  server.route("/slow.m3u8", [&](const test::TestHttpRequest&) {
    requested.countDown();
    cancelled.waitFor(1);
    return TestHttpResponse::ok(mediaPlaylist("a.ts"));
  });
  auto during = start<MediaPlaylist>(served("/slow.m3u8"));
  ASSERT_TRUE(requested.waitFor(1));
  manager.cancel();
  cancelled.countDown();
  EXPECT_TRUE(await(std::move(during)).isCancelled());
}

TEST_F(PlaylistManagerTest, BatchDeliversEveryPlaylistOnTheMainQueue) {
  std::vector<Data> items;
  std::vector<std::string> expected;
  // Enough items to finish side by side on several workers; TSan watches the shared cells.
  for (int i = 0; i < 12; ++i) {
    const std::string path = "/v" + std::to_string(i) + "/index.m3u8";
    expected.push_back(mediaPlaylist("s" + std::to_string(i) + ".ts"));
    server.route(path, TestHttpResponse::ok(expected.back()));
    items.push_back(served(path));
  }
  auto result = await(startBatch(items));
  ASSERT_TRUE(result.isSuccess());
  EXPECT_TRUE(onMainQueue);
  ASSERT_EQ(operations.size(), items.size());
  for (size_t i = 0; i < items.size(); ++i)
    EXPECT_EQ(operations[i]->params().url, items[i].params.url) << "input order";

  std::vector<std::string> texts;
  for (const auto& playlist : *result.value())
    texts.push_back(playlist.originalText());
  std::sort(texts.begin(), texts.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(texts, expected);
}

TEST_F(PlaylistManagerTest, OneFailureCancelsTheRestAndTheBatchFailsWithItsError) {
  test::Latch gate;
  auto slow = std::make_shared<test::ScriptedPlaylistFetcher>(
      Result<std::string>::success(mediaPlaylist("a.ts")), &gate);
  auto failing = std::make_shared<test::ScriptedPlaylistFetcher>(
      Result<std::string>::failure(PlaylistFetcherError::statusCode(404)));
  auto future =
      startBatch({data(slow, "http://o.test/a.m3u8"), data(failing, "http://o.test/b.m3u8"),
                  data(slow, "http://o.test/c.m3u8")});
  ASSERT_EQ(operations.size(), 3u);
  // The slow items are held in their fetch until the failure has cancelled them.
  const auto deadline = std::chrono::steady_clock::now() + test::scaledWait(10s);
  while (!(operations[0]->isCancelled() && operations[2]->isCancelled()) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_TRUE(operations[0]->isCancelled() && operations[2]->isCancelled());
  gate.countDown();

  auto result = await(std::move(future));
  ASSERT_TRUE(result.isFailure() && result.error()) << "a failure outweighs the cancellations";
  ASSERT_NE(result.error()->as<PlaylistFetcherError>(), nullptr);
  EXPECT_EQ(result.error()->as<PlaylistFetcherError>()->code(), 404);
}

TEST(PlaylistManagerUrlTest, CreateUrlResolvesTheTextAsAReference) {
  const Url base = *Url::parse("http://o.test/live/master.m3u8?token=abc");
  EXPECT_EQ(PlaylistManager::createUrl("v0/index.m3u8?s=1", base)->toString(),
            "http://o.test/live/v0/index.m3u8?s=1");
  EXPECT_FALSE(PlaylistManager::createUrl("http://bad host/x.m3u8", base));
}

} // namespace
} // namespace ombrelia
