// The playlist manager: single and batch fetches, their three-way results, cancellation and
// the resolution of playlist URIs.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.hpp"
#include "playlist/fetcher/PlaylistFetcherError.hpp"
#include "playlist/manager/PlaylistManager.hpp"
#include "playlist/playlist/MasterPlaylist.hpp"
#include "support/Latch.hpp"
#include "support/TestHttpServer.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using test::TestHttpResponse;
using test::TestHttpServer;
using Operations = std::vector<std::shared_ptr<PlaylistOperation>>;
using BatchResult = PlaylistManager::Result<std::vector<MediaPlaylist>>;

std::string mediaPlaylist(const std::string& segment) {
  return "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6.0,\n" + segment + "\n";
}
const std::string kMasterPlaylist = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000\nv0/index.m3u8\n";

// Succeeds with a media playlist, fails with 404, or holds the fetch until released.
class GatedFetcher : public PlaylistFetcher {
public:
  enum class Answer { playlist, notFound, afterGate };
  explicit GatedFetcher(Answer answer, test::Latch* gate = nullptr)
      : answer_(answer), gate_(gate) {}

  Result<std::string> fetchPlaylist(const Url&, double) override {
    if (answer_ == Answer::notFound)
      return Result<std::string>::failure(PlaylistFetcherError::statusCode(404));
    if (answer_ == Answer::afterGate && !gate_->waitFor(1))
      return Result<std::string>::failure(PlaylistFetcherError::timeout());
    return Result<std::string>::success(mediaPlaylist("a.ts"));
  }
  void fetchPlaylist(const Url& from, double timeoutInterval,
                     CompletionHandler completionHandler) override {
    completionHandler(fetchPlaylist(from, timeoutInterval));
  }

private:
  Answer answer_;
  test::Latch* gate_;
};

PlaylistManager::PlaylistOperationData data(std::shared_ptr<PlaylistFetcher> fetcher,
                                            const std::string& url,
                                            PlaylistType type = PlaylistType::video) {
  return {PlaylistOperation::Params(std::move(fetcher), *Url::parse(url), type), std::nullopt};
}

// True once `condition` holds; for flags set on a worker with no event of their own.
template <typename Condition> bool becomes(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::yield();
  }
  return true;
}

class PlaylistManagerTest : public ::testing::Test {
protected:
  PlaylistManager::PlaylistOperationData served(std::string_view path,
                                                PlaylistType type = PlaylistType::video) {
    return data(nullptr, server.url(path), type);
  }

  template <typename T>
  std::optional<PlaylistManager::Result<T>>
  fetchOne(const PlaylistManager::PlaylistOperationData& from,
           PlaylistManager::OperationHandler operationHandler = nullptr) {
    auto promise = std::make_shared<std::promise<PlaylistManager::Result<T>>>();
    auto future = promise->get_future();
    manager.fetchAndParsePlaylist<T>(
        from, std::move(operationHandler),
        [promise](PlaylistManager::Result<T> result) { promise->set_value(std::move(result)); });
    if (future.wait_for(10s) != std::future_status::ready)
      return std::nullopt;
    return future.get();
  }

  struct BatchOutcome {
    BatchResult result;
    bool onMainQueue;
  };

  // Runs a batch; `operations` receives what the operations handler was given.
  std::optional<BatchOutcome>
  fetchBatch(const std::vector<PlaylistManager::PlaylistOperationData>& from,
             Operations* operations = nullptr,
             const std::function<void(const Operations&)>& whileRunning = nullptr) {
    auto promise = std::make_shared<std::promise<BatchOutcome>>();
    auto future = promise->get_future();
    manager.fetchAndParseMediaPlaylists(
        from,
        [operations](const Operations& created) {
          if (operations)
            *operations = created;
        },
        [promise](BatchResult result) {
          promise->set_value({std::move(result), platform::DispatchQueue::main()->isCurrent()});
        });
    if (whileRunning)
      whileRunning(operations ? *operations : Operations{});
    if (future.wait_for(10s) != std::future_status::ready)
      return std::nullopt;
    return future.get();
  }

  TestHttpServer server;
  PlaylistManager manager;
};

TEST_F(PlaylistManagerTest, DeliversThePlaylistAsTheRequestedRecordType) {
  server.route("/master.m3u8", TestHttpResponse::ok(kMasterPlaylist));
  server.route("/v0/index.m3u8", TestHttpResponse::ok(mediaPlaylist("a.ts")));

  auto master = fetchOne<MasterPlaylist>(served("/master.m3u8", PlaylistType::master));
  ASSERT_TRUE(master && master->isSuccess());
  EXPECT_EQ(master->value()->originalText(), kMasterPlaylist);

  auto media = fetchOne<MediaPlaylist>(served("/v0/index.m3u8"));
  ASSERT_TRUE(media && media->isSuccess());
  EXPECT_EQ(media->value()->baseUrl().toString(), server.url("/v0/"));

  // Data of a media kind parses a media playlist, which is not the master asked for.
  auto mismatch = fetchOne<MasterPlaylist>(served("/v0/index.m3u8"));
  ASSERT_TRUE(mismatch && mismatch->isFailure());
  ASSERT_TRUE(mismatch->error());
  const auto* error = mismatch->error()->as<PlaylistManager::Error>();
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(*error, PlaylistManager::Error::invalidType);
  EXPECT_EQ(mismatch->error()->localizedDescription(),
            "Invalid type was provided for playlist result handling");
}

TEST_F(PlaylistManagerTest, PassesFetchErrorsOnUnchangedAndReportsAnEmptyResult) {
  auto notFound = fetchOne<MediaPlaylist>(served("/missing.m3u8"));
  ASSERT_TRUE(notFound && notFound->isFailure() && notFound->error());
  const auto* error = notFound->error()->as<PlaylistFetcherError>();
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), 404);

  // A fetcher that fails without an error leaves the operation with neither.
  class SilentFetcher : public PlaylistFetcher {
  public:
    Result<std::string> fetchPlaylist(const Url&, double) override {
      return Result<std::string>::failure(std::nullopt);
    }
    void fetchPlaylist(const Url&, double, CompletionHandler handler) override {
      handler(Result<std::string>::failure(std::nullopt));
    }
  };
  auto empty = fetchOne<MediaPlaylist>(data(std::make_shared<SilentFetcher>(), "http://o.test/a"));
  ASSERT_TRUE(empty && empty->isFailure() && empty->error());
  EXPECT_EQ(empty->error()->localizedDescription(), "Operation result returned empty");
}

TEST_F(PlaylistManagerTest, CancelledOperationEndsItsCallCancelled) {
  server.route("/index.m3u8", TestHttpResponse::ok(mediaPlaylist("a.ts")));
  auto before = fetchOne<MediaPlaylist>(
      served("/index.m3u8"),
      [](const std::shared_ptr<PlaylistOperation>& operation) { operation->cancel(); });
  ASSERT_TRUE(before);
  EXPECT_TRUE(before->isCancelled());
  EXPECT_EQ(server.requestCount(), 0u) << "an operation cancelled before it ran sends nothing";

  // Cancelling the manager reaches an operation whose fetch is in progress.
  test::Latch requested;
  server.route("/slow.m3u8", [&](const test::TestHttpRequest&) {
    requested.countDown();
    TestHttpResponse response = TestHttpResponse::ok(mediaPlaylist("a.ts"));
    response.delay = 200ms;
    return response;
  });
  auto promise = std::make_shared<std::promise<PlaylistManager::Result<MediaPlaylist>>>();
  auto future = promise->get_future();
  manager.fetchAndParsePlaylist<MediaPlaylist>(
      served("/slow.m3u8"), nullptr,
      [promise](PlaylistManager::Result<MediaPlaylist> result) { promise->set_value(result); });
  ASSERT_TRUE(requested.waitFor(1));
  manager.cancel();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(future.get().isCancelled());
}

TEST_F(PlaylistManagerTest, EmptyBatchSucceedsEmptyOnTheMainQueue) {
  Operations operations{nullptr};
  auto outcome = fetchBatch({}, &operations);
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(operations.empty()) << "the operations handler was called with no operation";
  ASSERT_TRUE(outcome->result.isSuccess());
  EXPECT_TRUE(outcome->result.value()->empty());
  EXPECT_TRUE(outcome->onMainQueue);
}

TEST_F(PlaylistManagerTest, BatchDeliversEveryPlaylistOnTheMainQueue) {
  std::vector<PlaylistManager::PlaylistOperationData> items;
  std::vector<std::string> expected;
  // Enough items to run side by side on several workers; TSan watches the shared cells.
  for (int i = 0; i < 12; ++i) {
    const std::string path = "/v" + std::to_string(i) + "/index.m3u8";
    expected.push_back(mediaPlaylist("s" + std::to_string(i) + ".ts"));
    TestHttpResponse response = TestHttpResponse::ok(expected.back());
    response.delay = std::chrono::milliseconds(5 * (i % 3));
    server.route(path, response);
    items.push_back(served(path));
  }

  Operations operations;
  auto outcome = fetchBatch(items, &operations);
  ASSERT_TRUE(outcome);
  ASSERT_TRUE(outcome->result.isSuccess());
  EXPECT_TRUE(outcome->onMainQueue);
  ASSERT_EQ(operations.size(), items.size());
  for (size_t i = 0; i < items.size(); ++i)
    EXPECT_EQ(operations[i]->params().url, items[i].params.url) << "input order";

  std::vector<std::string> texts;
  for (const auto& playlist : *outcome->result.value())
    texts.push_back(playlist.originalText());
  std::sort(texts.begin(), texts.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(texts, expected);
}

TEST_F(PlaylistManagerTest, OneFailureCancelsTheRestAndTheBatchFailsWithItsError) {
  test::Latch gate;
  auto slow = std::make_shared<GatedFetcher>(GatedFetcher::Answer::afterGate, &gate);
  auto failing = std::make_shared<GatedFetcher>(GatedFetcher::Answer::notFound);
  Operations operations;
  auto outcome = fetchBatch(
      {data(slow, "http://o.test/a.m3u8"), data(failing, "http://o.test/b.m3u8"),
       data(slow, "http://o.test/c.m3u8")},
      &operations, [&](const Operations& created) {
        ASSERT_EQ(created.size(), 3u);
        EXPECT_TRUE(becomes([&] { return created[0]->isCancelled() && created[2]->isCancelled(); }))
            << "the failure cancels the call's unfinished operations";
        gate.countDown();
      });
  ASSERT_TRUE(outcome);
  ASSERT_TRUE(outcome->result.isFailure()) << "a failure outweighs the cancellations";
  ASSERT_TRUE(outcome->result.error());
  const auto* error = outcome->result.error()->as<PlaylistFetcherError>();
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), 404);
}

TEST(PlaylistManagerUrlTest, CreateUrlResolvesTheTextAsAReference) {
  const Url base = *Url::parse("http://o.test/live/master.m3u8?token=abc");
  auto resolved = [&](std::string_view text) {
    auto url = PlaylistManager::createUrl(text, base);
    return url ? url->toString() : std::string("(none)");
  };
  EXPECT_EQ(resolved("v0/index.m3u8"), "http://o.test/live/v0/index.m3u8");
  EXPECT_EQ(resolved("http-live/x.m3u8"), "http://o.test/live/http-live/x.m3u8")
      << "a relative path that begins with http";
  EXPECT_EQ(resolved("v0/index.m3u8?session=1"), "http://o.test/live/v0/index.m3u8?session=1");
  EXPECT_EQ(resolved("../audio/a.m3u8"), "http://o.test/audio/a.m3u8");
  EXPECT_EQ(resolved("/root.m3u8"), "http://o.test/root.m3u8");
  EXPECT_EQ(resolved("//cdn.test/x.m3u8"), "http://cdn.test/x.m3u8");
  EXPECT_EQ(resolved("https://cdn.test/v1/index.m3u8"), "https://cdn.test/v1/index.m3u8")
      << "an absolute URL stands alone";
  EXPECT_EQ(resolved("http://bad host/x.m3u8"), "(none)");
}

TEST(PlaylistManagerUrlTest, ErrorsDescribeThemselves) {
  EXPECT_EQ(localizedDescription(PlaylistManager::Error::emptyResult),
            "Operation result returned empty");
  EXPECT_EQ(AnyError(PlaylistManager::Error::invalidType).localizedDescription(),
            "Invalid type was provided for playlist result handling");
}

} // namespace
} // namespace ombrelia
