// Two engines, each with its own peer list, store and buffer, wired through an in-process data
// channel: subscription handshake, download from chunks, upload serving, stall supervision, loop
// detection and what the engine does with hostile input.
#include <gtest/gtest.h>

#include <ombrelia/OmbreliaConfig.hpp>

#include "analytics/AnalyticsService.hpp"
#include "p2p/PeerMessagesController.hpp"
#include "peers/PeerList.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/MemoryPressureSource.hpp"
#include "platform/MonotonicClock.hpp"
#include "platform/NotificationCenter.hpp"
#include "protocol/AbonnementRequestMessage.hpp"
#include "protocol/FileRequestMessageReader.hpp"
#include "protocol/FileRequestResponseMessage.hpp"
#include "protocol/PeerChainMessage.hpp"
#include "protocol/PeerChainMessageReader.hpp"
#include "signalling/SignalingClient.hpp"
#include "store/VideoStorage.hpp"
#include "support/EngineAnswers.hpp"
#include "support/FakePeerConnection.hpp"
#include "support/FakePeerConnectionFactory.hpp"
#include "support/LinkedDataChannel.hpp"
#include "support/RecordingWebSocket.hpp"
#include "support/SampleSegment.hpp"
#include "support/Waiter.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;

const std::string kExchangeVideo = "video-1";

using test::segment;

// Bytes that are not UTF-8, as media is, so frames are never taken for text.
Data mediaBytes(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(0x80 | ((i + seed) & 0x7F));
  if (size > 0) bytes[0] = 0xFF;
  return Data(std::move(bytes));
}

// One viewer: its engine and everything the engine reads, with its end of the channel.
struct Viewer {
  explicit Viewer(const char* uuidText) : uuid(*Uuid::parse(uuidText)) {}

  std::optional<double> bufferLength() {
    std::lock_guard lock(mutex);
    return buffer;
  }
  void setBufferLength(std::optional<double> seconds) {
    std::lock_guard lock(mutex);
    buffer = seconds;
  }
  void store(int64_t number, const Data& bytes, int64_t quality = 1) {
    storage->saveData(*Url::parse("http://127.0.0.1/s" + std::to_string(number) + ".ts"), bytes,
                      "video/mp2t", segment(number, quality), kExchangeVideo);
    storage->waitUntilIdle();
  }
  std::vector<std::string> sentTexts(const std::string& fragment) const {
    std::vector<std::string> texts;
    for (const auto& frame : channel->sent())
      if (!frame.binary && frame.bytes.find(fragment) != std::string::npos)
        texts.push_back(frame.bytes);
    return texts;
  }
  size_t binaryFramesSent() const {
    size_t count = 0;
    for (const auto& frame : channel->sent()) count += frame.binary ? 1 : 0;
    return count;
  }

  const Uuid uuid;
  std::shared_ptr<VideoStorage> storage =
      VideoStorage::create(platform::MemoryPressureSource::create());
  std::shared_ptr<AnalyticsService> analytics = AnalyticsService::create("key");
  std::shared_ptr<test::FakePeerConnectionFactory> factory =
      std::make_shared<test::FakePeerConnectionFactory>();
  std::shared_ptr<WebRTCClient> client;
  std::shared_ptr<test::LinkedDataChannel> channel;
  Peer remote;  // the other viewer, as this one lists it
  std::shared_ptr<PeerMessagesController> engine;
  std::mutex mutex;  // guards buffer
  std::optional<double> buffer;
};

class PeerExchange : public ::testing::Test, public test::EngineAnswers {
 protected:
  void SetUp() override {
    OmbreliaConfig::configure("key");
    OmbreliaConfig::shared().setMaxPreloadedSegments(0);
    auto [ca, cb] = test::LinkedDataChannel::link(waiter);
    wire(a, ca, b);
    wire(b, cb, a);
  }
  void TearDown() override {
    a.channel->drain();
    b.channel->drain();
    a.engine.reset();
    b.engine.reset();
    platform::DispatchQueue::main()->drain();
  }

  void wire(Viewer& self, std::shared_ptr<test::LinkedDataChannel> channel, const Viewer& other) {
    self.client = WebRTCClient::create({}, *self.factory);
    self.factory->last()->deliverDataChannel(channel);
    channel->deliverOpen();
    self.channel = std::move(channel);
    self.remote = Peer{other.uuid, 1.0, false, false, false, true, self.client};
    PeerMessagesEnvironment environment;
    Viewer* viewer = &self;
    environment.peers = [viewer] { return std::vector<Peer>{viewer->remote}; };
    environment.peerWith = [viewer](const WebRTCClient& client) -> std::optional<Peer> {
      if (&client == viewer->client.get()) return viewer->remote;
      return std::nullopt;
    };
    environment.personalUUID = [viewer] { return std::optional<Uuid>(viewer->uuid); };
    environment.storage = self.storage;
    environment.bufferLength = [viewer] { return viewer->bufferLength(); };
    environment.segmentDuration = [] { return int64_t{6}; };
    self.engine = PeerMessagesController::create(
        SignalingClient::create(std::make_shared<test::RecordingWebSocket>()), self.analytics,
        std::move(environment));
    self.client->setDelegate(self.engine);
  }

  bool stateIs(const Viewer& viewer, std::optional<AbonnementState> state) {
    const auto abonnement = viewer.engine->abonnementPeer();
    if (!state) return !abonnement;
    return abonnement && abonnement->state == *state;
  }

  // B holds segments 10 and 11; A finds it and subscribes.
  void subscribeAToB() {
    b.store(10, mediaBytes(100, 1));
    b.store(11, mediaBytes(100, 2));
    a.engine->continueAbonnementAsReceiverSearch(segment(10), kExchangeVideo);
    ASSERT_TRUE(eventually([&] { return stateIs(a, AbonnementState::confirmed); }));
  }

  // The requestID of the last "fileRequest" A sent.
  Uuid lastFileRequestID() {
    const auto texts = a.sentTexts("\"type\":\"fileRequest\"");
    EXPECT_FALSE(texts.empty());
    return FileRequestMessageReader().readJSON(texts.back())->requestID();
  }

  Viewer a{"AAAAAAAA-1111-4111-8111-111111111111"};
  Viewer b{"BBBBBBBB-2222-4222-8222-222222222222"};
};

TEST_F(PeerExchange, SegmentAssembledFromChunksArrivesAsPeerVideoAndCountsUpload) {
  subscribeAToB();
  const Data bytes = mediaBytes(40000, 7);  // three frames: 15,900 + 15,900 + 8,200
  b.store(12, bytes);
  a.engine->sendFileRequest(segment(12), FileRequestType::main, kExchangeVideo, recorder());
  ASSERT_TRUE(eventually([&] { return results.size() == 1; }));
  {
    std::lock_guard lock(waiter->mutex());
    EXPECT_EQ(std::get<0>(results[0]), bytes);
    EXPECT_EQ(std::get<1>(results[0]), "video/p2p");
    EXPECT_EQ(std::get<2>(results[0]), PeerType::city);
  }
  EXPECT_EQ(b.binaryFramesSent(), 3u);
  // Wire order of one answer: chain, response, then the frames.
  const auto sent = b.channel->sent();
  const auto mi = std::find_if(sent.begin(), sent.end(), [](const auto& f) {
    return f.bytes.find("\"type\":\"mi\"") != std::string::npos;
  });
  ASSERT_NE(mi, sent.end());
  EXPECT_NE((mi + 1)->bytes.find("\"numberOfChunks\":3"), std::string::npos);
  EXPECT_TRUE((mi + 2)->binary);
  EXPECT_NE(mi->bytes.find("\"mi\":\"bbbbbbbb|aaaaaaaa\""), std::string::npos);
  EXPECT_TRUE(eventually([&] { return a.sentTexts("\"type\":\"fileRequestEnd\"").size() == 1; }));
  EXPECT_EQ(b.analytics->getDataSent(), 40000 + 3 * 24);
  EXPECT_EQ(a.engine->pendingFileRequestCount(), 0u) << "a finished request leaves the list";
}

TEST_F(PeerExchange, StalledMainRequestDropsTheSubscriptionAndAnswersWithNothing) {
  subscribeAToB();
  a.setBufferLength(30.0);
  a.engine->sendFileRequest(segment(12), FileRequestType::main, kExchangeVideo, recorder());
  ASSERT_TRUE(eventually([&] { return b.engine->pendingUploadFileRequestCount() == 1; }));
  a.engine->checkRequestMessages();
  platform::DispatchQueue::main()->drain();
  EXPECT_TRUE(stateIs(a, AbonnementState::confirmed)) << "a fresh request with a full buffer";
  for (int i = 0; i < 7; ++i) platform::MonotonicClock::advance(500ms);
  ASSERT_TRUE(eventually([&] { return results.size() == 1; }));
  EXPECT_TRUE(stateIs(a, std::nullopt));
  EXPECT_FALSE(bytesOf(0));
  EXPECT_EQ(a.sentTexts("\"type\":\"fileRequestStop\"").size(), 1u);
  EXPECT_TRUE(eventually([&] { return b.engine->pendingUploadFileRequestCount() == 0; }));
}

TEST_F(PeerExchange, ChainThatComesBackToThisViewerStopsTheSubscription) {
  subscribeAToB();
  a.engine->sendFileRequest(segment(12), FileRequestType::main, kExchangeVideo, recorder());
  const Uuid requestID = lastFileRequestID();
  // A chain ending in this viewer is accepted and becomes the prefix of what it sends on.
  b.channel->sendText(
      *PeerChainMessage("mi", requestID, "cccccccc|bbbbbbbb|bbbbbbbb|aaaaaaaa").encode().text);
  ASSERT_TRUE(eventually([&] {
    const auto abonnement = a.engine->abonnementPeer();
    return abonnement && abonnement->currentChain;
  }));
  EXPECT_EQ(*a.engine->abonnementPeer()->currentChain, "cccccccc|bbbbbbbb|bbbbbbbb|aaaaaaaa");

  // One naming this viewer earlier closes a loop.
  b.channel->sendText(
      *PeerChainMessage("mi", requestID, "aaaaaaaa|bbbbbbbb|bbbbbbbb|cccccccc|cccccccc|aaaaaaaa")
           .encode()
           .text);
  ASSERT_TRUE(eventually([&] { return results.size() == 1; }));
  EXPECT_TRUE(stateIs(a, std::nullopt));
  EXPECT_EQ(a.sentTexts("\"type\":\"fileRequestStop\"").size(), 1u);
}

TEST_F(PeerExchange, LostConnectionOrDisconnectedPeerEndsTheSubscription) {
  subscribeAToB();
  a.factory->last()->deliverState(datachannel::DCIceState::connected);
  EXPECT_TRUE(stateIs(a, AbonnementState::confirmed));
  a.factory->last()->deliverState(datachannel::DCIceState::failed);
  EXPECT_TRUE(stateIs(a, std::nullopt));

  subscribeAToB();
  platform::NotificationCenter::defaultCenter().post(PeerList::kPeerDisconected, Uuid::random());
  EXPECT_TRUE(stateIs(a, AbonnementState::confirmed));
  platform::NotificationCenter::defaultCenter().post(PeerList::kPeerDisconected, b.uuid);
  EXPECT_TRUE(stateIs(a, std::nullopt));

  subscribeAToB();
  platform::NotificationCenter::defaultCenter().post("LeaveGroup", false);
  EXPECT_TRUE(stateIs(a, AbonnementState::confirmed));
  platform::NotificationCenter::defaultCenter().post("LeaveGroup", true);
  EXPECT_TRUE(stateIs(a, std::nullopt));
}

// ---- completions run exactly once -------------------------------------------------------

TEST_F(PeerExchange, ReplacedMainRequestIsAnsweredWithNothingAndTheNewOneGetsTheBytes) {
  OmbreliaConfig::shared().setMaxPreloadedSegments(2);
  subscribeAToB();
  std::atomic<int> firstCalls{0};
  std::optional<Data> firstData;
  a.engine->sendFileRequest(segment(12), FileRequestType::main, kExchangeVideo,
                            [&](std::optional<Data> data, auto, auto) {
                              firstData = std::move(data);
                              ++firstCalls;
                            });
  a.engine->sendFileRequest(segment(12), FileRequestType::predownload, kExchangeVideo, recorder());
  a.engine->sendFileRequest(segment(12), FileRequestType::main, kExchangeVideo, recorder());
  EXPECT_EQ(a.sentTexts("\"type\":\"fileRequest\"").size(), 1u) << "one request on the wire";
  const Data bytes = mediaBytes(300, 9);
  b.store(12, bytes);
  ASSERT_TRUE(eventually([&] { return results.size() == 2; }));
  platform::DispatchQueue::main()->drain();
  EXPECT_EQ(firstCalls.load(), 1);
  EXPECT_FALSE(firstData);
  EXPECT_FALSE(bytesOf(0)) << "the duplicate pre-download is answered with nothing";
  EXPECT_EQ(bytesOf(1), bytes);
}

TEST_F(PeerExchange, RequestWithoutSubscriptionOrAfterStopIsAnsweredOnce) {
  int calls = 0;
  a.engine->sendFileRequest(segment(1), FileRequestType::main, kExchangeVideo,
                            [&](auto data, auto, auto) { calls += data ? 100 : 1; });
  EXPECT_EQ(calls, 1) << "at once, on the calling thread";

  subscribeAToB();
  a.engine->sendFileRequest(segment(12), FileRequestType::main, kExchangeVideo, recorder());
  a.engine->stopAbonnement();
  a.engine->stopAbonnement();
  ASSERT_TRUE(eventually([&] { return results.size() == 1; }));
  platform::DispatchQueue::main()->drain();
  EXPECT_EQ(resultCount(), 1u);
}

TEST_F(PeerExchange, EngineGoneWithARequestInFlightAnswersItWithNothing) {
  subscribeAToB();
  a.engine->sendFileRequest(segment(12), FileRequestType::main, kExchangeVideo, recorder());
  ASSERT_TRUE(eventually([&] { return b.engine->pendingUploadFileRequestCount() == 1; }));
  a.engine.reset();
  ASSERT_TRUE(eventually([&] { return results.size() == 1; }));
  EXPECT_FALSE(bytesOf(0));
}

// ---- hostile input ----------------------------------------------------------------------

class HostileUploader : public PeerExchange {
 protected:
  // A request from A, pending on B, whose answer the test writes itself.
  Uuid pendingRequest() {
    subscribeAToB();
    a.engine->sendFileRequest(segment(12), FileRequestType::main, kExchangeVideo, recorder());
    EXPECT_TRUE(eventually([&] { return b.engine->pendingUploadFileRequestCount() == 1; }));
    return lastFileRequestID();
  }
  void answer(const Uuid& requestID, std::optional<int64_t> segmentSize) {
    const FileRequestResponseMessage response("fileRequestResponse", requestID, true, 0,
                                              segmentSize, 1, segmentSize, std::nullopt,
                                              std::nullopt, std::nullopt);
    b.channel->sendText(*response.encode().text);
  }
  static Data frame(const Uuid& requestID, uint64_t offset, const std::string& payload) {
    std::string bytes(reinterpret_cast<const char*>(requestID.bytes().data()), 16);
    for (int shift = 56; shift >= 0; shift -= 8)
      bytes.push_back(static_cast<char>((offset >> shift) & 0xFF));
    return Data(bytes + payload);
  }
  bool answeredWithNothing() {
    if (!eventually([&] { return results.size() == 1; })) return false;
    return !bytesOf(0).has_value();
  }
};

TEST_F(HostileUploader, AnnouncedSizeAboveTheBoundOrNegativeIsRefused) {
  for (const int64_t size : {PeerMessagesController::kMaxSegmentBytes + 1, int64_t{-5}}) {
    SCOPED_TRACE(size);
    results.clear();
    const Uuid requestID = pendingRequest();
    answer(requestID, size);
    EXPECT_TRUE(answeredWithNothing());
    EXPECT_TRUE(eventually([&] { return b.engine->pendingUploadFileRequestCount() == 0; }))
        << "the uploader is told to stop";
    a.engine->stopAbonnement();
    ASSERT_TRUE(eventually([&] { return stateIs(a, std::nullopt); }));
  }
}

TEST_F(HostileUploader, ChunkPastTheAnnouncedSizeIsRejectedWithoutWriting) {
  const std::string tail(20, '\xFE');
  for (const uint64_t offset : {uint64_t{90}, uint64_t{101}, ~uint64_t{0} - 5}) {
    SCOPED_TRACE(offset);
    results.clear();
    const Uuid requestID = pendingRequest();
    answer(requestID, 100);
    b.channel->sendBinary(frame(requestID, offset, tail));
    EXPECT_TRUE(answeredWithNothing());
    a.engine->stopAbonnement();
    ASSERT_TRUE(eventually([&] { return stateIs(a, std::nullopt); }));
  }
}

TEST_F(HostileUploader, RepeatedOrShortFramesNeitherCompleteNorCrash) {
  const Uuid requestID = pendingRequest();
  answer(requestID, 40);
  const std::string half(20, '\xF0');
  b.channel->sendBinary(Data(std::string(10, '\xFF')));  // shorter than a header
  b.channel->sendBinary(frame(requestID, 0, half));
  b.channel->sendBinary(frame(requestID, 0, half));  // repeated: not counted twice
  b.channel->drain();
  platform::DispatchQueue::main()->drain();
  EXPECT_EQ(resultCount(), 0u);
  b.channel->sendBinary(frame(requestID, 20, half));
  ASSERT_TRUE(eventually([&] { return results.size() == 1; }));
  EXPECT_EQ(bytesOf(0), Data(half + half));
}

TEST_F(HostileUploader, WaitingListsStayBounded) {
  for (int i = 0; i < 300; ++i) {
    const FileRequestMessage request("fileRequest", Uuid::random(), kExchangeVideo, 1000 + i, 1,
                                     "video");
    b.channel->sendText(*request.encode().text);
  }
  b.channel->drain();
  EXPECT_EQ(a.engine->pendingUploadFileRequestCount(),
            PeerMessagesController::kMaxPendingUploadsPerPeer);

  for (int i = 0; i < 300; ++i)
    a.engine->continueAbonnementAsReceiverSearch(segment(i), kExchangeVideo);
  EXPECT_LE(a.engine->pendingFileAvailabilityCount(),
            PeerMessagesController::kMaxPendingAvailability);
}

}  // namespace
}  // namespace ombrelia
