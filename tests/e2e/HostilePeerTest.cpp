// A real viewer engine against a peer that lies, floods, stalls and vanishes, over a real data
// channel on 127.0.0.1. Whatever the peer does, the viewer stays up, every player request is
// answered (with the peer's bytes or with nothing, after which the player takes the origin's),
// and what the player gets is the origin's segment byte for byte.
#include <gtest/gtest.h>

#include <future>

#include <ombrelia/OmbreliaConfig.hpp>

#include "analytics/AnalyticsService.hpp"
#include "p2p/PeerMessagesController.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/MemoryPressureSource.hpp"
#include "platform/MonotonicClock.hpp"
#include "protocol/AbonnementRequestMessageReader.hpp"
#include "protocol/AbonnementResponseMessage.hpp"
#include "protocol/FileAvailabilityRequestMessageReader.hpp"
#include "protocol/FileAvailabilityResponseMessage.hpp"
#include "protocol/FileRequestMessage.hpp"
#include "protocol/FileRequestMessageReader.hpp"
#include "protocol/FileRequestResponseMessage.hpp"
#include "protocol/PeerChainMessage.hpp"
#include "protocol/SegmentFrame.hpp"
#include "signalling/SignalingClient.hpp"
#include "store/VideoStorage.hpp"
#include "support/RecordingWebSocket.hpp"
#include "support/SampleSegment.hpp"
#include "support/ScriptedUploader.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const auto kHostileConnectBound = test::scaledWait(20s);
const auto kHostileBound = test::scaledWait(10s);
const std::string kHostileVideo = "video-1";

using test::segment;

// The origin's bytes of a segment: not UTF-8, as media is not.
std::string originBytes(int64_t number, size_t size = 40000) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>(0x80 | ((i * 13 + static_cast<size_t>(number)) & 0x7F));
  return bytes;
}

class HostilePeer : public ::testing::Test {
 protected:
  void SetUp() override {
    OmbreliaConfig::configure("key");
    OmbreliaConfig::shared().setMaxPreloadedSegments(2);
    uploader = test::ScriptedUploader::create();
    const Uuid peerID = *Uuid::parse("BBBBBBBB-2222-4222-8222-222222222222");
    peer = Peer{peerID, 1.0, false, false, false, true, uploader->viewerClient()};
    PeerMessagesEnvironment environment;
    environment.peers = [this] { return std::vector<Peer>{peer}; };
    environment.peerWith = [this](const WebRTCClient& client) -> std::optional<Peer> {
      if (&client == peer.webRTCClient.get()) return peer;
      return std::nullopt;
    };
    environment.personalUUID = [] { return Uuid::parse("AAAAAAAA-1111-4111-8111-111111111111"); };
    environment.storage = storage;
    environment.bufferLength = [] { return std::optional<double>(30.0); };
    environment.segmentDuration = [] { return int64_t{6}; };
    engine = PeerMessagesController::create(
        SignalingClient::create(std::make_shared<test::RecordingWebSocket>()),
        AnalyticsService::create("key"), std::move(environment));
    ASSERT_TRUE(uploader->connect(engine, kHostileConnectBound)) << "no loopback data channel";
  }
  void TearDown() override {
    uploader.reset();
    engine.reset();
    platform::DispatchQueue::main()->drain();
  }

  // Unless still subscribed, the engine finds the peer and the peer accepts the subscription.
  void subscribe(bool accept = true) {
    if (const auto a = engine->abonnementPeer(); a && a->state == AbonnementState::confirmed)
      return;  // still subscribed from before
    const size_t queries = uploader->received("fileAvailability").size();
    const size_t abos = uploader->received("aboRequest").size();
    engine->continueAbonnementAsReceiverSearch(segment(10), kHostileVideo);
    ASSERT_TRUE(uploader->waitFor("fileAvailability", queries + 1, kHostileBound));
    const auto query = FileAvailabilityRequestMessageReader().readJSON(
        uploader->received("fileAvailability").back());
    uploader->say(*FileAvailabilityResponseMessage("fileAvailabilityResponse", query->requestID(),
                                                   SegmentReady::ok, 1, 1, 0, 0, 30.0, 1.0)
                       .encode()
                       .text);
    ASSERT_TRUE(uploader->waitFor("aboRequest", abos + 1, kHostileBound));
    if (!accept) return;
    const auto abo =
        AbonnementRequestMessageReader().readJSON(uploader->received("aboRequest").back());
    uploader->say(*AbonnementResponseMessage("aboResponse", abo->requestID(), true).encode().text);
    ASSERT_TRUE(waitUntil([&] {
      const auto a = engine->abonnementPeer();
      return a && a->state == AbonnementState::confirmed;
    }));
  }

  template <typename Predicate>
  bool waitUntil(Predicate predicate, std::chrono::milliseconds bound = kHostileBound) {
    const auto deadline = Clock::now() + bound;
    while (!predicate()) {
      if (Clock::now() >= deadline) return false;
      uploader->waiter().waitFor(10ms, [] { return false; });
    }
    return true;
  }

  // A player request: what the engine answers, and how long the answer took.
  struct PlayerRequest {
    std::shared_ptr<std::promise<std::optional<Data>>> promise =
        std::make_shared<std::promise<std::optional<Data>>>();
    std::future<std::optional<Data>> future = promise->get_future();
    Clock::time_point sent = Clock::now();
    Uuid id;
  };
  std::unique_ptr<PlayerRequest> ask(int64_t number, FileRequestType type = FileRequestType::main) {
    auto request = std::make_unique<PlayerRequest>();
    const size_t before = uploader->received("fileRequest").size();
    engine->sendFileRequest(segment(number), type, kHostileVideo,
                            [promise = request->promise](std::optional<Data> data, auto, auto) {
                              promise->set_value(std::move(data));
                            });
    EXPECT_TRUE(uploader->waitFor("fileRequest", before + 1, kHostileBound));
    request->id =
        FileRequestMessageReader().readJSON(uploader->received("fileRequest").back())->requestID();
    return request;
  }
  // What the player plays: the peer's bytes, or the origin's when the engine gave up. Checks
  // that the answer came within `bound` and matches the origin byte for byte.
  void expectPlayerGetsOrigin(PlayerRequest& request, int64_t number,
                              std::chrono::milliseconds bound = kHostileBound,
                              size_t size = 40000) {
    ASSERT_EQ(request.future.wait_for(bound), std::future_status::ready)
        << "the player request was stranded";
    const auto fromPeer = request.future.get();
    const std::string played = fromPeer ? fromPeer->toString() : originBytes(number, size);
    EXPECT_EQ(played, originBytes(number, size))
        << "the player got bytes that are not the origin's";
  }
  void answer(const Uuid& id, std::optional<int64_t> size, bool valid = true) {
    uploader->say(*FileRequestResponseMessage("fileRequestResponse", id, valid, 0, size, 1, size,
                                              std::nullopt, std::nullopt, std::nullopt)
                       .encode()
                       .text);
  }
  void frame(const Uuid& id, uint64_t offset, std::string_view payload) {
    uploader->sendFrame(SegmentFrame::make(id, offset, payload));
  }
  void frames(const Uuid& id, const std::string& bytes) {
    for (size_t offset = 0; offset < bytes.size(); offset += 15900)
      frame(id, offset, std::string_view(bytes).substr(offset, 15900));
  }

  std::shared_ptr<VideoStorage> storage =
      VideoStorage::create(platform::MemoryPressureSource::create());
  std::shared_ptr<test::ScriptedUploader> uploader;
  Peer peer;
  std::shared_ptr<PeerMessagesController> engine;
};

TEST_F(HostilePeer, LyingAnswersAndFramesNeverReachThePlayer) {
  subscribe();
  // A second, larger answer, then a frame that only the larger size would allow.
  {
    auto r = ask(20);
    answer(r->id, 100);
    frame(r->id, 0, std::string_view(originBytes(20)).substr(0, 20));
    answer(r->id, 1000000);
    frame(r->id, 5000, std::string_view(originBytes(20)).substr(5000, 20));
    expectPlayerGetsOrigin(*r, 20);
  }
  subscribe();
  // Overlapping frames that add up to the size but leave a hole, then an honest rest.
  {
    auto r = ask(21);
    const std::string bytes = originBytes(21);
    answer(r->id, static_cast<int64_t>(bytes.size()));
    frame(r->id, 0, std::string_view(bytes).substr(0, 20000));
    frame(r->id, 10000, std::string_view(bytes).substr(10000, 20000));
    frame(r->id, 10000, std::string_view(bytes).substr(10000, 10000));  // repeated
    ASSERT_EQ(r->future.wait_for(300ms), std::future_status::timeout) << "a hole was delivered";
    frame(r->id, 29000, std::string_view(bytes).substr(29000));
    expectPlayerGetsOrigin(*r, 21);
  }
  // Frames for nobody, frames past the end, junk, sizes past the bound, refusals.
  {
    auto r = ask(22);
    uploader->sendFrame(Data(std::string(10, '\xFF')));
    frame(Uuid::random(), 0, originBytes(99, 500));
    uploader->say("{\"type\":\"fileRequestResponse\",\"requestID\":");
    uploader->say(std::string(100000, '['));
    answer(r->id, PeerMessagesController::kMaxSegmentBytes + 1);
    expectPlayerGetsOrigin(*r, 22);
  }
  subscribe();
  {
    auto r = ask(23);
    answer(r->id, 40000);
    frame(r->id, ~uint64_t{0} - 3, "\x80\x80\x80\x80\x80\x80");
    expectPlayerGetsOrigin(*r, 23);
  }
  subscribe();
  {
    auto r = ask(24);
    answer(r->id, std::nullopt);
    expectPlayerGetsOrigin(*r, 24);
  }
  // After all that, an honest transfer still works.
  subscribe();
  {
    auto r = ask(25);
    answer(r->id, 40000);
    frames(r->id, originBytes(25));
    ASSERT_EQ(r->future.wait_for(kHostileBound), std::future_status::ready);
    const auto got = r->future.get();
    ASSERT_TRUE(got) << "an honest transfer after the attacks";
    EXPECT_EQ(got->toString(), originBytes(25));
  }
}

TEST_F(HostilePeer, PeerThatGoesSilentOrVanishesStrandsNoRequest) {
  subscribe();
  // Never answered: the stall rule gives up after 3 s of elapsed time.
  {
    auto r = ask(30);
    platform::MonotonicClock::advance(3500ms);
    expectPlayerGetsOrigin(*r, 30, 5s);
  }
  // A pre-download never answered times out on its own.
  subscribe();
  {
    auto pre = ask(31, FileRequestType::predownload);
    platform::MonotonicClock::advance(20s);
    expectPlayerGetsOrigin(*pre, 31, 5s);
  }
  // A subscription request never answered expires, and a new peer answer is taken again.
  engine->stopAbonnement();
  subscribe(/*accept=*/false);
  platform::MonotonicClock::advance(6s);
  ASSERT_TRUE(waitUntil([&] { return !engine->abonnementPeer(); }, test::scaledWait(5s)));
  subscribe();
  // The peer vanishes in the middle of a transfer: answered at once, not by the stall rule.
  {
    auto r = ask(32);
    answer(r->id, 40000);
    frame(r->id, 0, std::string_view(originBytes(32)).substr(0, 15900));
    ASSERT_TRUE(waitUntil([&] { return engine->pendingFileRequestCount() == 1; }));
    uploader->vanish();
    expectPlayerGetsOrigin(*r, 32, 3s);
    EXPECT_FALSE(engine->abonnementPeer());
  }
}

TEST_F(HostilePeer, FloodOfRequestsAndChainsKeepsTheViewerBoundedAndServing) {
  // Requests for segments this viewer never stores: the waiting list stays bounded.
  for (int i = 0; i < 500; ++i)
    uploader->say(
        *FileRequestMessage("fileRequest", Uuid::random(), kHostileVideo, 1000 + i, 1, "video")
             .encode()
             .text);
  // Chains naming requests this viewer never sent.
  for (int i = 0; i < 50; ++i)
    uploader->say(*PeerChainMessage("mi", Uuid::random(), std::string(2000, 'a') + "|aaaaaaaa")
                       .encode()
                       .text);
  // A stored segment is still served, whole and right.
  const std::string bytes = originBytes(40, 40000);
  storage->saveData(*Url::parse("http://127.0.0.1/s40.ts"), Data(bytes), "video/mp2t", segment(40),
                    kHostileVideo);
  storage->waitUntilIdle();
  const Uuid id = Uuid::random();
  uploader->say(
      *FileRequestMessage("fileRequest", id, kHostileVideo, 40, 1, "video").encode().text);
  ASSERT_TRUE(uploader->waitFor("fileRequestResponse", 1, kHostileBound));
  const auto served = [&] {
    std::string got(bytes.size(), '\0');
    size_t covered = 0;
    for (const auto& data : uploader->frames()) {
      const auto f = SegmentFrame::parse(data);
      if (!f || f->requestID != id || f->offset + f->payload.size() > got.size()) continue;
      got.replace(f->offset, f->payload.size(), f->payload);
      covered += f->payload.size();
    }
    return covered == bytes.size() && got == bytes;
  };
  ASSERT_TRUE(waitUntil(served)) << "the stored segment was not served whole";
  EXPECT_LE(engine->pendingUploadFileRequestCount(),
            PeerMessagesController::kMaxPendingUploadsPerPeer);
  EXPECT_FALSE(engine->abonnementPeer()) << "nothing it said made a subscription";
}

}  // namespace
}  // namespace ombrelia
