// A real viewer engine serving stored segments to peers over real data channels on 127.0.0.1:
// whatever a peer asks, how often and however slowly it reads, every ask is answered once, what
// the viewer holds queued for one peer stays within that peer's share, and an honest peer keeps
// its pace beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include <ombrelia/OmbreliaConfig.hpp>

#include "analytics/AnalyticsService.hpp"
#include "p2p/PeerMessagesController.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/MemoryPressureSource.hpp"
#include "protocol/FileRequestMessage.hpp"
#include "protocol/FileRequestResponseMessageReader.hpp"
#include "protocol/FileRequestStopMessage.hpp"
#include "signalling/SignalingClient.hpp"
#include "store/VideoStorage.hpp"
#include "support/CpuTime.hpp"
#include "support/LossyUdpRelay.hpp"
#include "support/RecordingWebSocket.hpp"
#include "support/SampleSegment.hpp"
#include "support/ScriptedUploader.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const auto kShareConnectBound = test::scaledWait(20s);
const auto kShareBound = test::scaledWait(20s);
const std::string kSharedVideo = "video-1";
constexpr size_t kSharedSegmentBytes = 1024 * 1024;
constexpr size_t kFrameHeaderBytes = 24;
// Frame bytes of one whole stored segment.
constexpr size_t frameBytesOf(size_t segmentBytes) {
  return segmentBytes + kFrameHeaderBytes * ((segmentBytes + 15899) / 15900);
}
constexpr size_t kSegmentFrameBytes = frameBytesOf(kSharedSegmentBytes);
// What one peer's connection may hold queued beyond the uploader's share: one frame handed over
// as the share fills, and an answer (with its chain text) to each of the peer's asks.
size_t queueBound(size_t asks) {
  return PeerMessagesController::kMaxQueuedUploadBytesPerPeer + 15924 + asks * 512;
}
const bool kShareSanitized = test::kSanitizerSlowdown > 1;

using test::segment;

std::string askText(const Uuid& id, int64_t number) {
  return *FileRequestMessage("fileRequest", id, kSharedVideo, number, 1, "video").encode().text;
}

class UploadShare : public ::testing::Test {
 protected:
  void SetUp() override {
    OmbreliaConfig::configure("key");
    PeerMessagesEnvironment environment;
    // The engine's callbacks may still run on a channel's thread as the test ends: they hold
    // the peer table, not the fixture.
    environment.peers = [table = table_] {
      std::lock_guard lock(table->mutex);
      return table->peers;
    };
    environment.peerWith = [table = table_](const WebRTCClient& client) -> std::optional<Peer> {
      std::lock_guard lock(table->mutex);
      for (const auto& p : table->peers)
        if (p.webRTCClient.get() == &client) return p;
      return std::nullopt;
    };
    environment.personalUUID = [] { return Uuid::parse("AAAAAAAA-1111-4111-8111-111111111111"); };
    environment.storage = storage;
    environment.bufferLength = [] { return std::optional<double>(30.0); };
    environment.segmentDuration = [] { return int64_t{6}; };
    engine = PeerMessagesController::create(
        SignalingClient::create(std::make_shared<test::RecordingWebSocket>()), analytics,
        std::move(environment));
  }
  void TearDown() override {
    uploaders_.clear();
    engine.reset();
    platform::DispatchQueue::main()->drain();
  }

  void store(int64_t first, int64_t count = 1, size_t bytes = kSharedSegmentBytes) {
    for (int64_t n = first; n < first + count; ++n)
      storage->saveData(*Url::parse("http://127.0.0.1/s" + std::to_string(n) + ".ts"),
                        Data(std::string(bytes, static_cast<char>(0x80 + n % 64))), "video/mp2t",
                        segment(n), kSharedVideo);
    storage->waitUntilIdle();
  }

  // A peer of the viewer, its frames counted and not kept.
  std::shared_ptr<test::ScriptedUploader> connect(const Uuid& uuid,
                                                  test::LossyUdpRelay* relay = nullptr) {
    auto uploader = test::ScriptedUploader::create();
    uploader->keepNoFrames();
    {
      std::lock_guard lock(table_->mutex);
      table_->peers.push_back(Peer{uuid, 1.0, false, false, false, true, uploader->viewerClient()});
    }
    EXPECT_TRUE(uploader->connect(engine, kShareConnectBound, relay)) << "no loopback data channel";
    uploaders_.push_back(uploader);
    return uploader;
  }

  template <typename Predicate>
  static bool waitUntil(test::ScriptedUploader& peer, Predicate predicate,
                        std::chrono::milliseconds bound = kShareBound) {
    const auto deadline = Clock::now() + bound;
    while (!predicate()) {
      if (Clock::now() >= deadline) return false;
      peer.waiter().waitFor(5ms, [] { return false; });
    }
    return true;
  }

  // Every ask of this peer has had exactly one answer, and no request two with the segment.
  static void expectEachAskAnsweredOnce(test::ScriptedUploader& peer, size_t asks) {
    ASSERT_TRUE(waitUntil(peer, [&] { return peer.answers() >= asks; }))
        << peer.answers() << " answers to " << asks << " asks";
    EXPECT_EQ(peer.answers(), asks);
    std::map<Uuid, int> served;
    for (const auto& text : peer.received("fileRequestResponse")) {
      const auto answer = FileRequestResponseMessageReader().readJSON(text);
      ASSERT_TRUE(answer);
      if (answer->valid()) ++served[answer->requestID()];
    }
    const auto twice = std::count_if(served.begin(), served.end(),
                                     [](const auto& entry) { return entry.second > 1; });
    EXPECT_EQ(twice, 0) << "requests served more than once";
  }

  // The time one whole segment takes to reach the peer after its ask.
  static std::chrono::microseconds fetch(test::ScriptedUploader& peer, int64_t number) {
    const Uuid id = Uuid::random();
    const auto start = Clock::now();
    peer.say(askText(id, number));
    EXPECT_TRUE(waitUntil(peer, [&] { return peer.frameBytes(id) >= kSegmentFrameBytes; }))
        << "the honest peer's segment never came whole";
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  }
  static std::chrono::microseconds median(std::vector<std::chrono::microseconds> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
  }

  // Samples what the viewer holds queued for a peer, and how many transfers to it count, on a
  // thread of its own until stopped.
  struct QueueWatch {
    QueueWatch(std::shared_ptr<WebRTCClient> client, Uuid uuid,
               std::shared_ptr<PeerMessagesController> engine)
        : thread([this, client, uuid, engine] {
            while (!stop) {
              queued = std::max(queued.load(), client->bufferedAmount());
              inFlight = std::max(inFlight.load(), engine->uploadsInFlightTo(uuid));
              std::this_thread::sleep_for(1ms);
            }
          }) {}
    ~QueueWatch() {
      stop = true;
      thread.join();
    }
    std::atomic<bool> stop{false};
    std::atomic<size_t> queued{0};
    std::atomic<size_t> inFlight{0};
    std::thread thread;
  };

  std::shared_ptr<VideoStorage> storage =
      VideoStorage::create(platform::MemoryPressureSource::create());
  std::shared_ptr<AnalyticsService> analytics = AnalyticsService::create("key");
  std::shared_ptr<PeerMessagesController> engine;

 private:
  struct PeerTable {
    std::mutex mutex;  // guards peers
    std::vector<Peer> peers;
  };
  std::shared_ptr<PeerTable> table_ = std::make_shared<PeerTable>();
  std::vector<std::shared_ptr<test::ScriptedUploader>> uploaders_;
};

const Uuid kHonest = *Uuid::parse("BBBBBBBB-2222-4222-8222-222222222222");
const Uuid kGreedy = *Uuid::parse("CCCCCCCC-3333-4333-8333-333333333333");

TEST_F(UploadShare, PeerRepeatingItsAsksLeavesAnHonestPeerItsPace) {
  store(40, 2);
  auto honest = connect(kHonest);
  auto greedy = connect(kGreedy);
  const int rounds = kShareSanitized ? 5 : 15;
  std::vector<std::chrono::microseconds> alone;
  for (int i = 0; i < rounds; ++i) alone.push_back(fetch(*honest, 41));

  // Eight asks of one segment kept outstanding, each also repeated while it is served.
  std::atomic<bool> done{false};
  std::atomic<size_t> asks{0};
  std::thread asking([&] {
    while (!done) {
      const size_t answered = greedy->answers();
      if (asks - std::min<size_t>(asks, answered) >= 8) {
        greedy->waiter().waitFor(2ms, [] { return false; });
        continue;
      }
      const Uuid id = Uuid::random();
      greedy->say(askText(id, 40));
      greedy->say(askText(id, 40));
      asks += 2;
    }
  });
  std::vector<std::chrono::microseconds> beside;
  size_t queued = 0;
  {
    QueueWatch watch(greedy->viewerClient(), kGreedy, engine);
    for (int i = 0; i < rounds; ++i) beside.push_back(fetch(*honest, 41));
    done = true;
    asking.join();
    queued = watch.queued;
    EXPECT_LE(queued, queueBound(asks));
    EXPECT_LE(watch.inFlight.load(),
              static_cast<size_t>(PeerMessagesController::kMaxUploadsInFlightPerPeer));
  }
  expectEachAskAnsweredOnce(*greedy, asks);
  const auto before = median(alone), after = median(beside);
  std::cout << "honest peer's 1 MiB: " << before.count() << " us alone, " << after.count()
            << " us beside a peer repeating asks (" << asks << " asks, at most " << queued
            << " bytes queued for it)\n";
  // Twice its time alone, with a floor of a few milliseconds: on loopback a segment takes so
  // little that a scheduler's slice would otherwise decide the outcome. Under a sanitizer the
  // viewer is short of CPU well below a peer's pace, and the two transfers share what there is:
  // three times then.
  const int factor = kShareSanitized ? 3 : 2;
  EXPECT_LE(after, factor * std::max(before, std::chrono::microseconds(5000)));
}

TEST_F(UploadShare, SlowReadersHoldNoMoreThanTheirShare) {
  const int64_t segments = kShareSanitized ? 6 : 20;
  store(100, segments);
  // Each reader's packets take a tenth of a second each way.
  constexpr int kReaders = 2;
  std::vector<std::unique_ptr<test::LossyUdpRelay>> relays;
  std::vector<std::shared_ptr<test::ScriptedUploader>> readers;
  std::vector<std::unique_ptr<QueueWatch>> watches;
  for (int r = 0; r < kReaders; ++r) {
    relays.push_back(std::make_unique<test::LossyUdpRelay>(
        test::LossyUdpRelay::Settings{.delay = 100ms, .jitter = 0ms, .immediateRate = 0}));
    const Uuid uuid = *Uuid::parse("DDDDDDDD-4444-4444-8444-00000000000" + std::to_string(r));
    readers.push_back(connect(uuid, relays.back().get()));
    watches.push_back(std::make_unique<QueueWatch>(readers.back()->viewerClient(), uuid, engine));
  }
  // Every segment asked three times, the last ask of each stopped at once.
  for (int pass = 0; pass < 3; ++pass) {
    for (int64_t n = 0; n < segments; ++n) {
      for (auto& reader : readers) {
        const Uuid id = Uuid::random();
        reader->say(askText(id, 100 + n));
        if (pass == 2) reader->say(*FileRequestStopMessage("fileRequestStop", id).encode().text);
      }
    }
  }
  for (auto& reader : readers) expectEachAskAnsweredOnce(*reader, 3 * segments);
  // Over the slow path the viewer's queue fills to the reader's share, and no further.
  for (auto& watch : watches) {
    EXPECT_TRUE(waitUntil(*readers[0], [&] {
      return watch->queued >= PeerMessagesController::kMaxQueuedUploadBytesPerPeer / 2;
    })) << "the path never held anything back: the test shows nothing";
  }
  for (auto& watch : watches) {
    EXPECT_LE(watch->queued.load(), queueBound(3 * segments));
    EXPECT_LE(watch->inFlight.load(),
              static_cast<size_t>(PeerMessagesController::kMaxUploadsInFlightPerPeer));
  }
}

TEST_F(UploadShare, BurstOfSixHundredAsksIsAnsweredAskByAsk) {
  const int64_t segments = 20;
  store(200, segments);
  auto greedy = connect(kGreedy);
  QueueWatch watch(greedy->viewerClient(), kGreedy, engine);
  constexpr size_t kAsks = 600;
  for (size_t i = 0; i < kAsks; ++i)
    greedy->say(askText(Uuid::random(), 200 + static_cast<int64_t>(i) % segments));
  expectEachAskAnsweredOnce(*greedy, kAsks);
  // Once the transfers are over, what was counted as uploaded is what the peer received.
  ASSERT_TRUE(waitUntil(*greedy, [&] { return engine->uploadsInFlightTo(kGreedy) == 0; }));
  ASSERT_TRUE(waitUntil(*greedy, [&] {
    return static_cast<size_t>(analytics->getDataSent()) <= greedy->frameBytes() &&
           greedy->frameBytes() > 0;
  }));
  EXPECT_EQ(static_cast<size_t>(analytics->getDataSent()), greedy->frameBytes());
  EXPECT_LE(watch.queued.load(), queueBound(kAsks));
  EXPECT_LE(watch.inFlight.load(),
            static_cast<size_t>(PeerMessagesController::kMaxUploadsInFlightPerPeer));
}

TEST_F(UploadShare, BytesCountAsUploadedOnlyOnceThePeerHasThem) {
  store(300, 2);
  // A peer that never reads asks for both segments, takes window probes for a while, and leaves.
  auto shut = connect(kGreedy);
  shut->shutWindow();
  shut->say(askText(Uuid::random(), 300));
  shut->say(askText(Uuid::random(), 301));
  ASSERT_TRUE(waitUntil(*shut, [&] { return shut->frameBytes() > 0; }))
      << "no probe carried a frame: the test shows nothing";
  std::this_thread::sleep_for(2s);
  const size_t before = shut->frameBytes();
  shut->vanish();
  ASSERT_TRUE(waitUntil(*shut, [&] { return engine->uploadsInFlightTo(kGreedy) == 0; }))
      << "transfers to a peer gone were kept";
  // Counted: what the peer acknowledged, of which one frame at most may wait in its stack for the
  // rest of its chunks, and answers or frames its channel had not handed over as it closed.
  constexpr size_t kFrameBytes = 15900 + kFrameHeaderBytes;
  const size_t received = shut->frameBytes();
  const auto counted = static_cast<size_t>(analytics->getDataSent());
  std::cout << "counted as uploaded " << counted << " bytes, received " << received << " ("
            << before << " before it left)\n";
  EXPECT_LE(counted, received + kFrameBytes);
  EXPECT_GE(counted + 2 * kFrameBytes, received);
}

TEST_F(UploadShare, AnswersToAPeerThatReadsNothingStopQueueingAtTheirBound) {
  store(400, 2);
  auto honest = connect(kHonest);
  auto shut = connect(kGreedy);
  shut->shutWindow();
  QueueWatch watch(shut->viewerClient(), kGreedy, engine);
  // The two transfers first, until their frames have filled what usrsctp takes and the queue
  // holds the uploader's share: asks answered before that went into usrsctp's buffer instead,
  // at its bookkeeping cost a message, and the queue was left short of the bound.
  shut->say(askText(Uuid::random(), 400));
  shut->say(askText(Uuid::random(), 401));
  ASSERT_TRUE(waitUntil(*shut, [&] {
    return watch.queued.load() >= PeerMessagesController::kMaxQueuedUploadBytesPerPeer;
  })) << "the transfers never filled the uploader's share: " << watch.queued.load() << " bytes";
  // Each ask past the two transfers is answered "not available" at once: 206 bytes and more a
  // time, which used to wait for the shut window up to the connection's 16 MiB. Fewer asks than
  // the 4,096 messages a connection may have waiting to be read: a viewer short of CPU that has
  // read none of them yet ends a peer sending more, and the queue then never fills. 3,000
  // answers of 206 bytes pass the bound beside the frames.
  constexpr int kAsks = 3000;
  static_assert(PeerMessagesController::kMaxQueuedUploadBytesPerPeer + kAsks * 206 >
                WebRTCClient::kMaxQueuedBytesForMessages);
  for (int i = 0; i < kAsks; ++i) shut->say(askText(Uuid::random(), 400 + i % 2));
  // A sanitizer's viewer takes the asks several times slower.
  ASSERT_TRUE(waitUntil(
      *shut, [&] { return watch.queued.load() >= WebRTCClient::kMaxQueuedBytesForMessages; },
      kShareSanitized ? 3 * kShareBound : kShareBound))
      << "the queue never reached the bound: the test shows nothing (" << watch.queued.load()
      << " bytes)";
  // The honest peer is still served meanwhile.
  fetch(*honest, 401);
  EXPECT_LE(watch.queued.load(), WebRTCClient::kMaxQueuedBytesForMessages + 512);
  EXPECT_TRUE(shut->viewerClient()->isConnected());
}

TEST_F(UploadShare, APeerTakingOnlyWindowProbesLosesItsTransfersWhileASlowReaderKeepsItsOwn) {
  // A 64 kbit/s link with 300 ms of round trip and a datagram in a hundred lost each way: the
  // honest reader's segment takes longer than the stall rule allows a transfer that moves not.
  test::LossyUdpRelay link({.lossRate = 0.01,
                            .delay = 150ms,
                            .jitter = 0ms,
                            .immediateRate = 0,
                            .bytesPerSecond = 8000});
  constexpr size_t kSlowSegmentBytes = 128 * 1024;
  store(500, 2);
  store(510, 1, kSlowSegmentBytes);
  auto slow = connect(kHonest, &link);
  // Its window shut, the other acknowledges the window probes it gets, about as many bytes a
  // second as the slow link carries, and reads none of them.
  auto shut = connect(kGreedy);
  shut->shutWindow();
  const auto start = Clock::now();
  const Uuid slowAsk = Uuid::random();
  slow->say(askText(slowAsk, 510));
  shut->say(askText(Uuid::random(), 500));
  shut->say(askText(Uuid::random(), 501));
  ASSERT_TRUE(waitUntil(*shut, [&] { return shut->frameBytes() > 0; }))
      << "no probe carried a frame: the test shows nothing";
  const auto stall = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::duration<double>(PeerMessagesController::kMaxUploadStallSeconds));
  // Both its transfers have hours to go at that pace; they end with the stall rule.
  EXPECT_TRUE(waitUntil(
      *shut, [&] { return engine->uploadsInFlightTo(kGreedy) == 0; },
      stall + test::scaledWait(10s)))
      << "a peer taking window probes only kept its transfers";
  const auto shutHeld = Clock::now() - start;
  EXPECT_TRUE(waitUntil(
      *slow, [&] { return slow->frameBytes(slowAsk) >= frameBytesOf(kSlowSegmentBytes); },
      test::scaledWait(120s)))
      << "the slow reader's segment never came whole: " << slow->frameBytes(slowAsk) << " bytes";
  const auto slowTook = Clock::now() - start;
  std::cout << "transfers to the probe-taking peer ended after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(shutHeld).count()
            << " ms; the slow reader's segment came whole after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(slowTook).count() << " ms\n";
  EXPECT_GT(slowTook, stall) << "the slow link was not slow enough to show anything";
  EXPECT_EQ(slow->frameBytes(slowAsk), frameBytesOf(kSlowSegmentBytes));
}

}  // namespace
}  // namespace ombrelia
