// The delivery roads of the plug-in activator and the download controller, against a loopback
// origin, the real stores and a stand-in for the peer exchange.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <ombrelia/OmbreliaConfig.hpp>

#include "analytics/AnalyticsService.hpp"
#include "peers/PeerList.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/HttpClient.hpp"
#include "platform/NotificationCenter.hpp"
#include "proxy/DecisionController.hpp"
#include "proxy/DownloadController.hpp"
#include "proxy/P2PLoader.hpp"
#include "proxy/PlaylistWork.hpp"
#include "proxy/PlaylistWorkBudget.hpp"
#include "proxy/PluginActivator.hpp"
#include "signalling/SocketConfig.hpp"
#include "store/BufferingController.hpp"
#include "store/BufferingControllerDelegate.hpp"
#include "store/ManifestController.hpp"
#include "store/SegmentURLHistory.hpp"
#include "store/VideoStorage.hpp"
#include "support/HeapGauge.hpp"
#include "support/Latch.hpp"
#include "support/StreamOrigin.hpp"
#include "support/StreamedBody.hpp"
#include "support/TestHttpServer.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using test::Latch;
using test::TestHttpResponse;
using test::TestHttpServer;

struct FixedBuffer : BufferingControllerDelegate {
  explicit FixedBuffer(double s) : seconds(s) {}
  double getPrebufferingDuration() override { return seconds; }
  double seconds;
};

// Stands in for the peer exchange: a confirmed subscription whose peer answers as told.
class FakePeer : public PeerMessagesController {
 public:
  enum class Behaviour { deliver, refuse, drop };
  explicit FakePeer(Behaviour behaviour)
      : PeerMessagesController(nullptr, nullptr), behaviour_(behaviour) {}

  std::optional<AbonnementPeer> abonnementPeer() const override {
    return AbonnementPeer{AbonnementState::confirmed};
  }
  void sendFileRequest(const SegmentInfo& info, FileRequestType type, const std::string&,
                       FileCompletion completion) override {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back({info.segmentNumber(), type});
    }
    switch (behaviour_) {
      case Behaviour::deliver:
        completion(Data(std::string("peer-bytes-") + std::to_string(info.segmentNumber())),
                   std::string("video/p2p"), PeerType::city);
        break;
      case Behaviour::refuse:
        completion(std::nullopt, std::nullopt, std::nullopt);
        break;
      case Behaviour::drop:
        break;  // the completion is dropped without a call, as a replaced request's is
    }
  }
  void continueAbonnementAsReceiverSearch(const SegmentInfo&, const std::string&) override {}
  std::vector<std::pair<int64_t, FileRequestType>> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  Behaviour behaviour_;
  mutable std::mutex mutex_;
  std::vector<std::pair<int64_t, FileRequestType>> requests_;
};

class SegmentDelivery : public ::testing::Test {
 protected:
  void SetUp() override {
    OmbreliaConfig::configure("key");
    // Nothing may reach for the real tracker: a loopback port where nothing listens.
    SocketConfig::overrideDefaultEndpoint(
        Url::parse("wss://127.0.0.1:" + std::to_string(test::freeLoopbackPort()) + "/"));
    analytics_ = AnalyticsService::create("key");
    origin_.route("/v/master.m3u8",
                  TestHttpResponse::ok("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360\n"
                                       "index.m3u8\n",
                                       "application/vnd.apple.mpegurl"));
    origin_.route("/v/index.m3u8",
                  TestHttpResponse::ok(mediaPlaylist(), "application/vnd.apple.mpegurl"));
    for (int i = 0; i < 4; ++i) {
      origin_.route("/v/s" + std::to_string(i) + ".ts",
                    TestHttpResponse::ok("origin-bytes-" + std::to_string(i), "video/mp2t"));
    }
  }
  void TearDown() override { BufferingController::shared().setDelegate(nullptr); }

  static std::string mediaPlaylist() {
    std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:10\n";
    for (int i = 0; i < 4; ++i)
      text += "#EXTINF:6.0,\ns" + std::to_string(i) + ".ts\n";
    return text;
  }
  Url segment(int i) const { return *Url::parse(origin_.url("/v/s" + std::to_string(i) + ".ts")); }
  size_t originRequestsFor(const std::string& path) const {
    size_t n = 0;
    for (const auto& r : origin_.requests())
      n += r.path == path ? 1 : 0;
    return n;
  }

  // Runs a request and waits for its one answer; a streamed body is read to its end, as the
  // player's connection reads it.
  static HTTPLoader::Response await(const std::function<void(HTTPLoader::Completion)>& start) {
    HTTPLoader::Response result = awaitAnswer(start);
    if (result.stream) {
      test::StreamedBody body(result.stream);
      EXPECT_EQ(body.readAll(), test::StreamedBody::Outcome::whole);
      result.data = Data(body.received());
    }
    return result;
  }
  // A completion that runs `then` once the answer's body has ended, as the player's connection
  // ends; the activator counts a request in flight until then.
  static HTTPLoader::Completion onceWhole(std::function<void()> then) {
    return [then = std::move(then)](HTTPLoader::Response r) {
      if (r.stream) {
        r.stream->whenEnded(then);
      } else {
        then();
      }
    };
  }
  // The answer alone, its body perhaps still arriving.
  static HTTPLoader::Response awaitAnswer(
      const std::function<void(HTTPLoader::Completion)>& start) {
    Latch done;
    std::mutex m;
    HTTPLoader::Response result;
    int calls = 0;
    start([&](HTTPLoader::Response r) {
      std::lock_guard lock(m);
      result = std::move(r);
      ++calls;
      done.countDown();
    });
    EXPECT_TRUE(done.waitFor(1, test::scaledWait(10s))) << "no answer";
    std::lock_guard lock(m);
    EXPECT_EQ(calls, 1);
    return result;
  }

  // The master playlist, then the variant's media playlist, as a player asks for them.
  void storePlaylist(const std::shared_ptr<DownloadController>& controller) {
    const auto master = await([&](auto c) {
      controller->playlistData(*Url::parse(origin_.url("/v/master.m3u8")), c);
    });
    ASSERT_EQ(master.statusCode, 200);
    const auto r = await(
        [&](auto c) { controller->playlistData(*Url::parse(origin_.url("/v/index.m3u8")), c); });
    ASSERT_EQ(r.statusCode, 200);
  }

  // Waits until the segment store announces a segment.
  struct StoreWatch {
    StoreWatch()
        : token(platform::NotificationCenter::defaultCenter().addObserver(
              "NewOmbreliaSegmentAvailable",
              [this](const platform::Notification&) { stored.countDown(); })) {}
    Latch stored;
    platform::ObserverToken token;
  };

  TestHttpServer origin_;
  std::shared_ptr<AnalyticsService> analytics_;
};

TEST_F(SegmentDelivery, ThirdRequestInFlightIsCriticalAndAgglomerationFollowsTheSequence) {
  TestHttpResponse held = TestHttpResponse::ok("x", "video/mp2t");
  held.mode = TestHttpResponse::Mode::heldUntilReleased;
  for (const char* p : {"/a.ts", "/b.ts", "/c.ts", "/d.ts", "/e.ts", "/f.ts"})
    origin_.route(p, held);
  auto activator = PluginActivator::create("video", "client", analytics_);
  auto& history = SegmentURLHistory::shared();
  std::vector<std::unique_ptr<Latch>> done;
  auto start = [&](const char* path) {
    done.push_back(std::make_unique<Latch>());
    Latch* latch = done.back().get();
    const size_t before = origin_.requestCount();
    activator->segmentData(*Url::parse(origin_.url(path)),
                           onceWhole([latch] { latch->countDown(); }));
    const auto deadline = std::chrono::steady_clock::now() + test::scaledWait(5s);
    while (origin_.requestCount() == before && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    // Requests to one origin run in parallel: each reaches it while the others still wait.
    ASSERT_GT(origin_.requestCount(), before) << path << " never reached the origin";
  };
  // Non-critical requests go to the decision and enter the history; critical ones do not.
  start("/a.ts");
  EXPECT_EQ(history.size(), 1u);
  start("/b.ts");  // agglomeration 1
  EXPECT_EQ(history.size(), 2u);
  origin_.release("/a.ts");
  ASSERT_TRUE(done[0]->waitFor(1));
  start("/c.ts");  // two in flight, agglomeration 2: not critical
  EXPECT_EQ(history.size(), 3u);
  origin_.release("/b.ts");
  ASSERT_TRUE(done[1]->waitFor(1));
  start("/d.ts");  // agglomeration 3 > 2: critical although only two are in flight
  EXPECT_EQ(history.size(), 3u);
  EXPECT_EQ(activator->agglomerationCounter(), 3);
  start("/e.ts");  // three in flight: critical
  EXPECT_EQ(history.size(), 3u);
  EXPECT_EQ(activator->parallelRequestCounter(), 3);
  for (const char* p : {"/c.ts", "/d.ts", "/e.ts"})
    origin_.release(p);
  for (int i = 2; i < 5; ++i)
    ASSERT_TRUE(done[i]->waitFor(1)) << "request " << i;
  EXPECT_EQ(activator->parallelRequestCounter(), 0);
  start("/f.ts");  // alone again: the agglomeration resets
  EXPECT_EQ(activator->agglomerationCounter(), 0);
  EXPECT_EQ(history.size(), 4u);
  origin_.release("/f.ts");
  ASSERT_TRUE(done[5]->waitFor(1));
}

TEST_F(SegmentDelivery, PlaylistsAreCountedEvenAsErrorPagesButNeverCriticalAndOnlyA200IsStored) {
  TestHttpResponse held = TestHttpResponse::ok(mediaPlaylist(), "application/vnd.apple.mpegurl");
  held.mode = TestHttpResponse::Mode::heldUntilReleased;
  origin_.route("/p1.m3u8", held);
  origin_.route("/p2.m3u8", held);
  TestHttpResponse missing = TestHttpResponse::ok("<html>gone</html>", "text/html");
  missing.status = 404;
  origin_.route("/gone.m3u8", missing);
  auto activator = PluginActivator::create("video", "client", analytics_);
  Latch done;
  activator->playlistData(*Url::parse(origin_.url("/p1.m3u8")), [&](auto) { done.countDown(); });
  activator->playlistData(*Url::parse(origin_.url("/p2.m3u8")), [&](auto) { done.countDown(); });
  EXPECT_EQ(activator->parallelRequestCounter(), 2);
  // The third request in flight is critical: it never enters the history.
  const size_t historyBefore = SegmentURLHistory::shared().size();
  Latch segmentDone;
  activator->segmentData(segment(0), [&](auto) { segmentDone.countDown(); });
  ASSERT_TRUE(segmentDone.waitFor(1));
  EXPECT_EQ(SegmentURLHistory::shared().size(), historyBefore);
  origin_.release("/p1.m3u8");
  origin_.release("/p2.m3u8");
  ASSERT_TRUE(done.waitFor(2));

  const auto r =
      await([&](auto c) { activator->playlistData(*Url::parse(origin_.url("/gone.m3u8")), c); });
  EXPECT_EQ(r.statusCode, 404);
  EXPECT_EQ(r.data->toString(), "<html>gone</html>") << "the player still gets the origin's answer";
  const auto segmentBytes = static_cast<int64_t>(std::string_view("origin-bytes-0").size());
  EXPECT_EQ(analytics_->getDataReceivedHTTP(), 2 * static_cast<int64_t>(mediaPlaylist().size()) +
                                                   segmentBytes +
                                                   static_cast<int64_t>(r.data->size()))
      << "the two 200 playlists, the segment and the error page the player got: every origin byte";
}

TEST_F(SegmentDelivery, EmptyBodyReachesThePlayerButIsNeverStoredCountedOrAnnounced) {
  origin_.route("/v/s2.ts", TestHttpResponse::ok("", "video/mp2t"));
  auto controller = DownloadController::create("video", "client", analytics_);
  storePlaylist(controller);
  StoreWatch watch;
  const auto empty = await([&](auto c) { controller->segmentData(segment(2), false, c); });
  EXPECT_EQ(empty.statusCode, 200);
  ASSERT_TRUE(empty.data);
  EXPECT_TRUE(empty.data->empty()) << "the player gets what the origin sent";
  const auto next = await([&](auto c) { controller->segmentData(segment(3), false, c); });
  EXPECT_EQ(next.data->toString(), "origin-bytes-3");
  ASSERT_TRUE(watch.stored.waitFor(1)) << "the next segment is stored";
  EXPECT_EQ(watch.stored.count(), 1) << "only the segment with bytes is announced";
  EXPECT_FALSE(VideoStorage::shared()->getSegment("video", 0, 12, "video"));
  EXPECT_TRUE(VideoStorage::shared()->getSegment("video", 0, 13, "video"));
}

TEST_F(SegmentDelivery, PlaylistIsParsedOffTheHttpClientsOneDelegateQueue) {
  auto controller = DownloadController::create("video", "client", analytics_);
  std::atomic<bool> onDelegateQueue{true};
  const auto r = await([&](auto c) {
    controller->playlistData(*Url::parse(origin_.url("/v/master.m3u8")),
                             [&onDelegateQueue, c](HTTPLoader::Response response) {
                               onDelegateQueue =
                                   platform::HttpClient::shared()->delegateQueue()->isCurrent();
                               c(std::move(response));
                             });
  });
  EXPECT_EQ(r.statusCode, 200);
  EXPECT_FALSE(onDelegateQueue.load())
      << "a large playlist's parse there would hold up every other answer";
  EXPECT_TRUE(ManifestController::shared().primaryManifest()) << "stored before the answer";
}

// Building the controller starts the signalling client and the peer engine; the lock every
// request takes must not be held meanwhile.
TEST_F(SegmentDelivery, ControllerIsBuiltOutsideTheLockEveryRequestTakes) {
  OmbreliaConfig::shared().setActivated(false);
  Latch building;
  Latch mayFinish;
  auto activator = PluginActivator::create("video", "client", analytics_, [&] {
    building.countDown();
    mayFinish.waitFor(1, 60s);
    return DownloadController::create("video", "client", analytics_);
  });
  OmbreliaConfig::shared().setActivated(true);
  Latch builtFor;
  std::thread first([&] {
    activator->playlistData(*Url::parse(origin_.url("/v/master.m3u8")),
                            [&](auto) { builtFor.countDown(); });
  });
  ASSERT_TRUE(building.waitFor(1));
  // While it is being built: reading the controller and a request with the switch off go on.
  auto read = std::async(std::launch::async, [&] { return activator->downloadController(); });
  const bool readReturned = read.wait_for(test::scaledWait(5s)) == std::future_status::ready;
  OmbreliaConfig::shared().setActivated(false);
  auto offRequest = std::async(std::launch::async, [&] {
    return await([&](auto c) { activator->segmentData(segment(0), c); });
  });
  const bool offAnswered = offRequest.wait_for(test::scaledWait(10s)) == std::future_status::ready;
  mayFinish.countDown();
  first.join();
  EXPECT_TRUE(readReturned) << "reading the controller waited for its construction";
  EXPECT_TRUE(offAnswered) << "a request with the switch off waited for the construction";
  if (offAnswered) {
    EXPECT_EQ(offRequest.get().data->toString(), "origin-bytes-0");
  }
  ASSERT_TRUE(builtFor.waitFor(1));
  EXPECT_TRUE(activator->downloadController());
}

TEST_F(SegmentDelivery, CriticalGeneralAnswerThatIsAPlaylistIsStoredAllTheSame) {
  TestHttpResponse held = TestHttpResponse::ok("x", "video/mp2t");
  held.mode = TestHttpResponse::Mode::heldUntilReleased;
  origin_.route("/busy.ts", held);
  origin_.route("/v/master", TestHttpResponse::ok(
                                 "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360\n"
                                 "index.m3u8\n",
                                 "application/x-mpegURL"));
  ManifestController::shared().cleanup();
  auto activator = PluginActivator::create("video", "client", analytics_);
  Latch busy;
  for (int i = 0; i < 2; ++i) {
    activator->segmentData(*Url::parse(origin_.url("/busy.ts?n=" + std::to_string(i))),
                           [&](auto) { busy.countDown(); });
  }
  // The third request in flight is critical.
  const auto r =
      await([&](auto c) { activator->generalData(*Url::parse(origin_.url("/v/master")), c); });
  EXPECT_EQ(r.statusCode, 200);
  ASSERT_TRUE(ManifestController::shared().primaryManifest()) << "the playlist was not stored";
  EXPECT_EQ(ManifestController::shared().resolutions(), std::vector<std::string>{"640x360"});
  origin_.release("/busy.ts");
  ASSERT_TRUE(busy.waitFor(2));
}

// Reading a playlist into the store is a stage of its work like any other: it waits for room in
// the playlist work budget. Taken for the stage after the response had gone into it, the share
// was never asked for, and 8 players of a 4 MB playlist read it into the store all at once.
TEST_F(SegmentDelivery, PlaylistIsReadIntoTheStoreOnlyOnceTheBudgetHasRoomForIt) {
  const auto& budget = PlaylistWorkBudget::shared();
  auto oldest = budget->begin();
  auto filler = budget->begin();
  filler->holdExactly(PlaylistWorkBudget::kMaxPlaylistBytesInFlight);
  ManifestController::shared().cleanup();
  auto controller = DownloadController::create("video", "client", analytics_);
  const std::string master =
      "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360\nindex.m3u8\n";
  HTTPLoader::Response response;
  response.data = Data(master);
  response.contentType = "application/vnd.apple.mpegurl";
  response.statusCode = 200;
  response.playlistWork = budget->begin();
  response.playlistWork->holdExactly(master.size());
  const size_t waitingBefore = budget->waitingWorks();
  Latch answered;
  controller->storePlaylistThenAnswer(*Url::parse(origin_.url("/v/master.m3u8")),
                                      std::move(response), [&](auto) { answered.countDown(); });
  EXPECT_EQ(budget->waitingWorks(), waitingBefore + 1)
      << "the store read the playlist without waiting for room";
  filler.reset();
  ASSERT_TRUE(answered.waitFor(1));
  EXPECT_TRUE(ManifestController::shared().primaryManifest());
}

TEST_F(SegmentDelivery, SixteenThreadsSwitchingThePlugInOnCreateOneController) {
  OmbreliaConfig::shared().setActivated(false);
  auto activator = PluginActivator::create("video", "client", analytics_);
  EXPECT_FALSE(activator->downloadController());
  // Switched off: every request goes to plain HTTP, and no controller appears.
  const auto off =
      await([&](auto c) { activator->generalData(*Url::parse(origin_.url("/v/s0.ts")), c); });
  EXPECT_EQ(off.statusCode, 200);
  EXPECT_FALSE(activator->downloadController());
  OmbreliaConfig::shared().setActivated(true);
  std::vector<std::thread> threads;
  std::mutex m;
  std::vector<std::shared_ptr<DownloadController>> seen;
  Latch done;
  for (int i = 0; i < 16; ++i) {
    threads.emplace_back([&] {
      activator->playlistData(*Url::parse(origin_.url("/v/index.m3u8")),
                              [&](auto) { done.countDown(); });
      std::lock_guard lock(m);
      seen.push_back(activator->downloadController());
    });
  }
  for (auto& t : threads)
    t.join();
  ASSERT_TRUE(done.waitFor(16));
  for (const auto& c : seen)
    EXPECT_EQ(c, seen.front());
  EXPECT_TRUE(seen.front());
  EXPECT_EQ(activator->parallelRequestCounter(), 0);
}

TEST_F(SegmentDelivery, RepeatedUrlIsServedFromTheStoreWithoutFetchOrCount) {
  auto controller = DownloadController::create("video", "client", analytics_);
  storePlaylist(controller);
  StoreWatch watch;
  const auto first = await([&](auto c) { controller->segmentData(segment(1), false, c); });
  EXPECT_EQ(first.data->toString(), "origin-bytes-1");
  ASSERT_TRUE(watch.stored.waitFor(1)) << "a fetched segment is stored";
  const size_t historySize = SegmentURLHistory::shared().size();
  const int64_t mediaBytes = analytics_->getDataReceivedHTTP();
  const auto second = await([&](auto c) { controller->segmentData(segment(1), false, c); });
  EXPECT_EQ(second.data->toString(), "origin-bytes-1");
  EXPECT_EQ(second.contentType, "video/mp2t");
  EXPECT_EQ(originRequestsFor("/v/s1.ts"), 1u) << "no second fetch";
  EXPECT_EQ(SegmentURLHistory::shared().size(), historySize) << "no new history entry";
  EXPECT_EQ(analytics_->getDataReceivedHTTP(), mediaBytes) << "no media counted twice";
  EXPECT_EQ(DownloadController::getFirstSegmentDecision(), Decision::http);
}

TEST_F(SegmentDelivery, HistoryKeepsTheNewestHundredDecisions) {
  auto controller = DownloadController::create("video", "client", analytics_);
  origin_.route("/u.ts", TestHttpResponse::ok("u", "video/mp2t"));
  for (int i = 0; i < 101; ++i) {
    await([&](auto c) {
      controller->segmentData(*Url::parse(origin_.url("/u.ts?n=" + std::to_string(i))), false, c);
    });
  }
  auto& history = SegmentURLHistory::shared();
  EXPECT_EQ(history.size(), 100u);
  EXPECT_FALSE(history.contains(*Url::parse(origin_.url("/u.ts?n=0"))));
  EXPECT_TRUE(history.contains(*Url::parse(origin_.url("/u.ts?n=1"))));
  // The evicted URL goes to the decision again.
  await([&](auto c) { controller->segmentData(*Url::parse(origin_.url("/u.ts?n=0")), false, c); });
  EXPECT_TRUE(history.contains(*Url::parse(origin_.url("/u.ts?n=0"))));
}

TEST_F(SegmentDelivery, CriticalRequestIsFoundInTheStoreByIdentity) {
  auto controller = DownloadController::create("video", "client", analytics_);
  storePlaylist(controller);
  const SegmentInfo info = ManifestController::shared().getSegmentInfo(segment(2)).front();
  StoreWatch watch;
  // Stored under another URL, as a pre-download is.
  VideoStorage::shared()->saveData(segment(0), Data(std::string("kept")), "video/p2p", info,
                                   "video");
  ASSERT_TRUE(watch.stored.waitFor(1));
  const auto r = await([&](auto c) { controller->segmentData(segment(2), true, c); });
  EXPECT_EQ(r.data->toString(), "kept");
  EXPECT_EQ(originRequestsFor("/v/s2.ts"), 0u);
}

TEST_F(SegmentDelivery, PeerDecisionWithoutSubscriptionFallsBackAtOnceAndCountsEveryPeerRequest) {
  OmbreliaConfig::shared().setMaxPreloadedSegments(2);
  BufferingController::shared().setDelegate(std::make_shared<FixedBuffer>(30));
  auto controller = DownloadController::create("video", "client", analytics_);
  storePlaylist(controller);
  PeerList::shared().setPeers({Peer{Uuid::random(), {}, {}, {}, {}, {}, nullptr}});
  const auto r = await([&](auto c) { controller->segmentData(segment(0), false, c); });
  EXPECT_EQ(r.data->toString(), "origin-bytes-0");
  EXPECT_EQ(analytics_->metrics().nReq_p2p, 3) << "the main request and two pre-downloads";
  EXPECT_EQ(originRequestsFor("/v/s0.ts"), 1u);
  EXPECT_EQ(originRequestsFor("/v/s1.ts"), 0u) << "pre-downloads never go to the origin";
  PeerList::shared().setPeers({});
}

TEST_F(SegmentDelivery, PeerBodyReachesThePlayerAndIsStoredAsPeerData) {
  OmbreliaConfig::shared().setMaxPreloadedSegments(1);
  BufferingController::shared().setDelegate(std::make_shared<FixedBuffer>(30));
  auto controller = DownloadController::create("video", "client", analytics_);
  storePlaylist(controller);
  auto peer = std::make_shared<FakePeer>(FakePeer::Behaviour::deliver);
  controller->p2pLoader()->setPeerMessagesControllerForTesting(peer);
  PeerList::shared().setPeers({Peer{Uuid::random(), {}, {}, {}, {}, {}, nullptr}});
  StoreWatch watch;
  const auto r = await([&](auto c) { controller->segmentData(segment(0), false, c); });
  EXPECT_EQ(r.contentType, "video/p2p");
  EXPECT_EQ(r.data->toString(), "peer-bytes-10");
  ASSERT_TRUE(watch.stored.waitFor(2)) << "the main segment and the pre-download are stored";
  EXPECT_EQ(originRequestsFor("/v/s0.ts"), 0u);
  EXPECT_EQ(DownloadController::getFirstSegmentDecision(), Decision::p2p);
  const auto requests = peer->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], std::make_pair<int64_t>(10, FileRequestType::main));
  EXPECT_EQ(requests[1], std::make_pair<int64_t>(11, FileRequestType::predownload));
  const auto stored = VideoStorage::shared()->getSegment("video", 0, 11, "video");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->data().toString(), "peer-bytes-11");
  EXPECT_GT(analytics_->metrics().MB_peer_city + analytics_->getDataReceivedP2P(), 0);
  PeerList::shared().setPeers({});
}

TEST_F(SegmentDelivery, RefusedOrDroppedPeerAnswerGivesExactlyOneHttpFallback) {
  BufferingController::shared().setDelegate(std::make_shared<FixedBuffer>(30));
  PeerList::shared().setPeers({Peer{Uuid::random(), {}, {}, {}, {}, {}, nullptr}});
  for (auto behaviour : {FakePeer::Behaviour::refuse, FakePeer::Behaviour::drop}) {
    auto controller = DownloadController::create("video", "client", analytics_);
    storePlaylist(controller);
    controller->p2pLoader()->setPeerMessagesControllerForTesting(
        std::make_shared<FakePeer>(behaviour));
    const int i = behaviour == FakePeer::Behaviour::refuse ? 1 : 2;
    const auto r = await([&](auto c) { controller->segmentData(segment(i), false, c); });
    EXPECT_EQ(r.data->toString(), "origin-bytes-" + std::to_string(i));
    EXPECT_EQ(originRequestsFor("/v/s" + std::to_string(i) + ".ts"), 1u);
  }
  PeerList::shared().setPeers({});
}

TEST_F(SegmentDelivery, RangeRequestGoesToTheOriginWithItsRangeAndIsNotStored) {
  TestHttpResponse ranged = TestHttpResponse::ok("0123456789", "video/mp2t");
  ranged.honourRange = true;
  origin_.route("/v/s3.ts", ranged);
  auto controller = DownloadController::create("video", "client", analytics_);
  storePlaylist(controller);
  const auto r = await(
      [&](auto c) { controller->segmentData(segment(3), false, c, std::string("bytes=2-4")); });
  EXPECT_EQ(r.statusCode, 206);
  EXPECT_EQ(r.data->toString(), "234");
  EXPECT_EQ(r.contentRange, "bytes 2-4/10");
  EXPECT_EQ(origin_.requests().back().header("range"), "bytes=2-4");
  EXPECT_FALSE(SegmentURLHistory::shared().contains(segment(3)));
  // "bytes=0-" asks for the whole resource: it takes the normal road and is stored.
  StoreWatch watch;
  const auto whole = await(
      [&](auto c) { controller->segmentData(segment(3), false, c, std::string("bytes=0-")); });
  EXPECT_EQ(whole.statusCode, 200);
  EXPECT_TRUE(watch.stored.waitFor(1));
  EXPECT_FALSE(origin_.requests().back().header("range").has_value());
}

TEST_F(SegmentDelivery, OriginErrorKeepsItsStatusAndIsNotStored) {
  TestHttpResponse missing = TestHttpResponse::ok("<html>404</html>", "text/html");
  missing.status = 404;
  origin_.route("/v/s1.ts", missing);
  auto controller = DownloadController::create("video", "client", analytics_);
  storePlaylist(controller);
  const auto r = await([&](auto c) { controller->segmentData(segment(1), false, c); });
  EXPECT_EQ(r.statusCode, 404);
  EXPECT_EQ(r.data->toString(), "<html>404</html>");
  // Not stored: a second request for it reaches the origin again.
  await([&](auto c) { controller->segmentData(segment(1), false, c); });
  EXPECT_EQ(originRequestsFor("/v/s1.ts"), 2u);
  platform::DispatchQueue::global()->drain();
  EXPECT_FALSE(VideoStorage::shared()->getSegment("video", 0, 11, "video"));
}

// The player reads a segment as it arrives from the origin; only a whole body is stored,
// counted and announced, and one that breaks off ends its reader instead of stranding it.
TEST_F(SegmentDelivery, OriginSegmentStreamsToThePlayerAndOnlyAWholeBodyIsStoredOnce) {
  std::string large(3'000'000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 13 + i / 4093);
  origin_.route("/v/s1.ts", TestHttpResponse::ok(large, "video/mp2t"));
  TestHttpResponse broken = TestHttpResponse::ok(std::string(400'000, 'b'), "video/mp2t");
  broken.mode = TestHttpResponse::Mode::stallAfterHead;
  origin_.route("/v/s2.ts", broken);
  auto controller = DownloadController::create("video", "client", analytics_);
  storePlaylist(controller);
  StoreWatch watch;
  const int64_t before = analytics_->getDataReceivedHTTP();

  const auto cut = awaitAnswer([&](auto c) { controller->segmentData(segment(2), false, c); });
  ASSERT_TRUE(cut.stream) << "a 200 segment is answered at its first byte";
  EXPECT_FALSE(cut.data);
  test::StreamedBody cutBody(cut.stream);
  ASSERT_EQ(cutBody.readAtLeast(200'000), test::StreamedBody::Outcome::partway)
      << "the player reads while the origin still sends";
  origin_.closeStalled();
  EXPECT_EQ(cutBody.readAll(), test::StreamedBody::Outcome::failed);

  const auto whole = await([&](auto c) { controller->segmentData(segment(1), false, c); });
  EXPECT_EQ(whole.statusCode, 200);
  EXPECT_EQ(whole.contentType, "video/mp2t");
  EXPECT_TRUE(whole.data && whole.data->view() == large) << "the origin's exact bytes";
  ASSERT_TRUE(watch.stored.waitFor(1));
  platform::DispatchQueue::global()->drain();
  EXPECT_EQ(watch.stored.count(), 1) << "only the whole segment is announced";
  const auto stored = VideoStorage::shared()->getSegment("video", 0, 11, "video");
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->data().view() == large);
  EXPECT_FALSE(VideoStorage::shared()->getSegment("video", 0, 12, "video"))
      << "nothing of the broken one";
  EXPECT_EQ(analytics_->getDataReceivedHTTP(), before + static_cast<int64_t>(large.size()))
      << "the whole body counted once, the broken one not at all";
}

// The player has a streamed segment only once its body has ended: until then its request still
// crowds the ones that follow, whether the body ends whole or broken off.
TEST_F(SegmentDelivery, StreamedAnswerStaysInFlightUntilItsBodyEnds) {
  TestHttpResponse broken = TestHttpResponse::ok(std::string(400'000, 'b'), "video/mp2t");
  broken.mode = TestHttpResponse::Mode::stallAfterHead;
  origin_.route("/v/s2.ts", broken);
  auto activator = PluginActivator::create("video", "client", analytics_);
  const auto answer = awaitAnswer([&](auto c) { activator->segmentData(segment(2), c); });
  ASSERT_TRUE(answer.stream);
  EXPECT_EQ(activator->parallelRequestCounter(), 1) << "answered, but its body still arrives";
  test::StreamedBody body(answer.stream);
  // All the origin sends before it stalls: only then is its connection held, to be broken off.
  ASSERT_EQ(body.readAtLeast(200'000), test::StreamedBody::Outcome::partway);
  EXPECT_EQ(activator->parallelRequestCounter(), 1);
  origin_.closeStalled();
  EXPECT_EQ(body.readAll(), test::StreamedBody::Outcome::failed);
  Latch ended;
  answer.stream->whenEnded([&] { ended.countDown(); });
  ASSERT_TRUE(ended.waitFor(1));
  EXPECT_EQ(activator->parallelRequestCounter(), 0);
}

// A player that leaves before its playlist arrives leaves nothing to do for it: the fetch ends,
// and nothing is stored or counted. And a request whose player has gone stops crowding the
// others at once, also a segment whose body still arrives.
TEST_F(SegmentDelivery, WorkForAPlayerThatHasGoneStopsAndNoLongerCountsInFlight) {
  TestHttpResponse held = TestHttpResponse::ok(mediaPlaylist(), "application/vnd.apple.mpegurl");
  held.mode = TestHttpResponse::Mode::heldUntilReleased;
  origin_.route("/left.m3u8", held);
  TestHttpResponse broken = TestHttpResponse::ok(std::string(400'000, 'b'), "video/mp2t");
  broken.mode = TestHttpResponse::Mode::stallAfterHead;
  origin_.route("/v/s2.ts", broken);
  auto activator = PluginActivator::create("video", "client", analytics_);
  const int64_t before = analytics_->getDataReceivedHTTP();

  const auto playlistLeft = platform::CancellationToken::create();
  Latch answered;
  std::optional<HTTPLoader::Response> playlist;
  activator->playlistData(
      *Url::parse(origin_.url("/left.m3u8")),
      [&](HTTPLoader::Response r) {
        playlist = std::move(r);
        answered.countDown();
      },
      playlistLeft);
  const auto segmentLeft = platform::CancellationToken::create();
  const auto segmentAnswer = awaitAnswer(
      [&](auto c) { activator->segmentData(segment(2), c, std::nullopt, segmentLeft); });
  ASSERT_TRUE(segmentAnswer.stream);
  test::StreamedBody body(segmentAnswer.stream);
  ASSERT_EQ(body.readAtLeast(200'000), test::StreamedBody::Outcome::partway);
  EXPECT_EQ(activator->parallelRequestCounter(), 2);

  playlistLeft->cancel();
  segmentLeft->cancel();
  EXPECT_EQ(activator->parallelRequestCounter(), 0) << "requests nobody waits for still count";
  ASSERT_TRUE(answered.waitFor(1)) << "the playlist's fetch went on for nobody";
  EXPECT_FALSE(playlist->data);
  origin_.release("/left.m3u8");
  for (const auto& version : ManifestController::shared().versions()) {
    EXPECT_NE(version.url().toString(), origin_.url("/left.m3u8")) << "stored for nobody";
  }
  EXPECT_EQ(analytics_->getDataReceivedHTTP(), before);
  origin_.closeStalled();
}

// A player that reads nothing holds up neither the origin's transfer nor the store, and costs no
// memory past the segment itself (and the origin's own copy of what it sends).
TEST_F(SegmentDelivery, PlayerThatDoesNotReadPacesItsTransferAndMemoryStaysNearTheSegment) {
  const std::string large(24'000'000, 's');
  origin_.route("/v/s3.ts", TestHttpResponse::ok(large, "video/mp2t"));
  auto controller = DownloadController::create("video", "client", analytics_);
  storePlaylist(controller);
  StoreWatch watch;
  test::HeapGauge heap;
  const auto answer = awaitAnswer([&](auto c) { controller->segmentData(segment(3), false, c); });
  ASSERT_TRUE(answer.stream);
  // The body waits for its player a bounded way ahead of it, rather than coming in whole unread.
  EXPECT_FALSE(watch.stored.waitFor(1, 1s)) << "stored while the player has read nothing";
  EXPECT_LE(answer.stream->unreadBytes(), platform::HttpBodyStream::kMaxUnreadBytes + 512 * 1024);
  // The test origin holds two copies of what it sends (its answer and its write buffer).
  EXPECT_LT(heap.peakGrowth(), 3 * large.size() + 8'000'000)
      << "the segment and the origin's copies only, nothing per byte left unread";
  test::StreamedBody body(answer.stream);
  EXPECT_EQ(body.readAll(), test::StreamedBody::Outcome::whole);
  EXPECT_TRUE(body.received() == large);
  ASSERT_TRUE(watch.stored.waitFor(1, test::scaledWait(30s)))
      << "not stored once the player had read it";
  platform::DispatchQueue::global()->drain();
}

TEST_F(SegmentDelivery, ThousandConcurrentRequestsLeaveNothingInFlight) {
  auto activator = PluginActivator::create("video", "client", analytics_);
  origin_.route("/many.ts", TestHttpResponse::ok("m", "video/mp2t"));
  Latch done;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 125; ++i) {
        const Url u =
            *Url::parse(origin_.url("/many.ts?t=" + std::to_string(t) + "&i=" + std::to_string(i)));
        if (i % 3 == 0) {
          activator->generalData(u, onceWhole([&] { done.countDown(); }));
        } else {
          activator->segmentData(u, onceWhole([&] { done.countDown(); }));
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(done.waitFor(1000, test::scaledWait(60s)));
  EXPECT_EQ(activator->parallelRequestCounter(), 0);
}

// An origin (or a middlebox) that sends more than an answer's length on a kept-alive
// connection: a whole extra answer, or garbage, with the body or a while after it.
struct Overrun {
  const char* name;
  std::string bytes;
  std::chrono::milliseconds delay;
};

void PrintTo(const Overrun& overrun, std::ostream* out) { *out << overrun.name; }

class OriginOverrun : public SegmentDelivery, public ::testing::WithParamInterface<Overrun> {};

TEST_P(OriginOverrun, LaterSegmentsKeepTheirOwnBytesFromTheOriginAndFromTheStore) {
  const Overrun& overrun = GetParam();
  Latch overrunSent;
  auto keptAlive = [](std::string body, std::string type) {
    TestHttpResponse response = TestHttpResponse::ok(std::move(body), std::move(type));
    response.keepAlive = true;
    return response;
  };
  origin_.route("/v/master.m3u8",
                keptAlive("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360\n"
                          "index.m3u8\n",
                          "application/vnd.apple.mpegurl"));
  origin_.route("/v/index.m3u8", keptAlive(mediaPlaylist(), "application/vnd.apple.mpegurl"));
  auto bytesOf = [](int i) { return "origin-bytes-" + std::to_string(i) + std::string(i, '#'); };
  for (int i = 0; i < 4; ++i) {
    TestHttpResponse response = keptAlive(bytesOf(i), "video/mp2t");
    if (i == 0) {
      response.overrun = overrun.bytes;
      response.overrunDelay = overrun.delay;
      response.onOverrunSent = [&overrunSent] { overrunSent.countDown(); };
    }
    origin_.route("/v/s" + std::to_string(i) + ".ts", response);
  }
  auto controller = DownloadController::create("video", "client", analytics_);
  storePlaylist(controller);
  StoreWatch watch;
  const auto first = await([&](auto c) { controller->segmentData(segment(0), false, c); });
  EXPECT_EQ(first.data ? first.data->toString() : "<none>", bytesOf(0));
  // The extra bytes reach the client before it sends its next request; once that request has
  // gone, HTTP/1.1 cannot tell an early answer from the right one.
  ASSERT_TRUE(overrunSent.waitFor(1)) << "the origin sent its extra bytes";
  for (int i = 1; i < 4; ++i) {
    const auto r = await([&](auto c) { controller->segmentData(segment(i), false, c); });
    EXPECT_EQ(r.statusCode, 200) << "segment " << i;
    EXPECT_EQ(r.data ? r.data->toString() : "<none>", bytesOf(i)) << "segment " << i;
  }
  ASSERT_TRUE(watch.stored.waitFor(4)) << "every segment is stored";
  platform::DispatchQueue::global()->drain();
  for (int i = 0; i < 4; ++i) {
    const auto again = await([&](auto c) { controller->segmentData(segment(i), false, c); });
    EXPECT_EQ(again.data ? again.data->toString() : "<none>", bytesOf(i))
        << "segment " << i << " again, from the store";
  }
  EXPECT_EQ(originRequestsFor("/v/s1.ts"), 1u) << "the second round came from the store";
  EXPECT_EQ(origin_.connectionCount(), 2u) << "only the connection out of step was replaced";
}

const std::string kExtraAnswer =
    "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nContent-Length: 11\r\n\r\nextra-bytes";
const std::string kGarbage = "garbage, not HTTP at all\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    SegmentDelivery, OriginOverrun,
    ::testing::Values(Overrun{"ExtraAnswerWithTheBody", kExtraAnswer, 0ms},
                      Overrun{"ExtraAnswerLater", kExtraAnswer, 30ms},
                      Overrun{"GarbageWithTheBody", kGarbage, 0ms},
                      Overrun{"GarbageLater", kGarbage, 30ms}),
    [](const ::testing::TestParamInfo<Overrun>& info) { return std::string(info.param.name); });

TEST(DecisionControllerRules, NoBufferDelegateOrUnhealthyBufferAnswersHttpWithoutAGroupRefresh) {
  OmbreliaConfig::configure("key");
  SocketConfig::overrideDefaultEndpoint(Url::parse("wss://127.0.0.1:9/"));
  auto client = SocketConfig::buildSignalingClient(SocketConfig::defaultConfig());
  DecisionController decisions("video", "client", client);
  const SegmentInfo info(SegmentType::video, 1, 1, std::nullopt, 0, 1, 6);
  PeerList::shared().setPeers({Peer{Uuid::random(), {}, {}, {}, {}, {}, nullptr}});
  auto answer = [&](const std::optional<SegmentInfo>& i) {
    Decision d = Decision::p2p;
    decisions.videoOrAudioSegmentMethod(*Url::parse("http://o/s.ts"), i,
                                        [&](Decision x) { d = x; });
    return d;
  };
  EXPECT_EQ(answer(info), Decision::http) << "no delegate: unhealthy";
  BufferingController::shared().setDelegate(std::make_shared<FixedBuffer>(4.5));
  EXPECT_EQ(answer(info), Decision::http) << "4.5 s is not healthy";
  BufferingController::shared().setDelegate(std::make_shared<FixedBuffer>(4.6));
  EXPECT_EQ(answer(info), Decision::p2p);
  EXPECT_EQ(answer(std::nullopt), Decision::http) << "an unknown segment goes over HTTP";
  EXPECT_EQ(answer(SegmentInfo(SegmentType::unknown, 0, 0, std::nullopt, 0, 1, 0)), Decision::http);
  OmbreliaConfig::shared().setP2pActivated(false);
  EXPECT_EQ(answer(info), Decision::http);
  EXPECT_EQ(decisions.playlistDownloadMethod(*Url::parse("http://o/x.m3u8")), Decision::http);
  BufferingController::shared().setDelegate(nullptr);
  PeerList::shared().setPeers({});
}

}  // namespace
}  // namespace ombrelia
