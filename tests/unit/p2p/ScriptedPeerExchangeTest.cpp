// One real engine facing peers whose every message the test writes itself, over in-process
// data channels: what a hostile or failing peer can and cannot make the engine do.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <iostream>
#include <thread>

#include <ombrelia/OLoggerConfig.hpp>
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
#include "protocol/AbonnementRequestMessageReader.hpp"
#include "protocol/AbonnementResponseMessage.hpp"
#include "protocol/AbonnementResponseMessageReader.hpp"
#include "protocol/FileAvailabilityRequestMessageReader.hpp"
#include "protocol/FileAvailabilityResponseMessage.hpp"
#include "protocol/FileRequestMessage.hpp"
#include "protocol/FileRequestMessageReader.hpp"
#include "protocol/FileRequestResponseMessage.hpp"
#include "protocol/FileRequestResponseMessageReader.hpp"
#include "protocol/FileRequestStopMessage.hpp"
#include "protocol/PeerChainMessage.hpp"
#include "protocol/SegmentFrame.hpp"
#include "signalling/SignalingClient.hpp"
#include "store/VideoStorage.hpp"
#include "support/EngineAnswers.hpp"
#include "support/FakePeerConnection.hpp"
#include "support/FakePeerConnectionFactory.hpp"
#include "support/Latch.hpp"
#include "support/LinkedDataChannel.hpp"
#include "support/RecordingWebSocket.hpp"
#include "support/SampleSegment.hpp"
#include "support/Waiter.hpp"
#include "unit/peers/LogLines.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;

const std::string kScriptedVideo = "video-1";

using test::segment;

std::string media(size_t size, uint8_t seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(0x80 | ((i + seed) & 0x7F));
  return bytes;
}

// A peer the test speaks for: `far` is its end of the channel, `near` the viewer's.
struct Scripted {
  Uuid uuid;
  std::shared_ptr<WebRTCClient> client;
  std::shared_ptr<test::FakePeerConnection> connection;
  std::shared_ptr<test::LinkedDataChannel> near;
  std::shared_ptr<test::LinkedDataChannel> far;

  std::vector<std::string> received(const std::string& type) const {
    std::vector<std::string> texts;
    for (const auto& frame : near->sent())
      if (!frame.binary && frame.bytes.find("\"type\":\"" + type + "\"") != std::string::npos)
        texts.push_back(frame.bytes);
    return texts;
  }
  void say(const std::string& text) const { far->sendText(text); }
  void frame(const Uuid& requestID, uint64_t offset, std::string_view payload) const {
    far->sendBinary(SegmentFrame::make(requestID, offset, payload));
  }
};

// A channel whose binary sends wait at a gate, as a send that SCTP holds back would.
class GatedChannel : public test::FakeDataChannel {
 public:
  bool sendBinary(const Data& bytes) override {
    {
      std::lock_guard lock(mutex_);
      ++waiting_;
    }
    changed_.notify_all();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return open_; });
    lock.unlock();
    return FakeDataChannel::sendBinary(bytes);
  }
  bool sendText(const std::string& text) override {
    FakeDataChannel::sendText(text);
    { std::lock_guard lock(mutex_); }
    changed_.notify_all();
    return true;
  }
  // True once the predicate holds; looked at again after every send.
  template <typename Predicate>
  bool waitUntil(std::chrono::milliseconds bound, Predicate predicate) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, predicate);
  }
  // True once `count` sends are (or were) waiting at the gate.
  bool waitForSends(int count, std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return waiting_ >= count; });
  }
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;  // guards the two below
  std::condition_variable changed_;
  int waiting_ = 0;
  bool open_ = false;
};

// Frames of one request a channel was sent.
size_t framesOf(const test::FakeDataChannel& channel, const Uuid& requestID) {
  size_t count = 0;
  for (const auto& f : channel.sent())
    if (f.binary) count += SegmentFrame::parse(Data(f.bytes))->requestID == requestID ? 1 : 0;
  return count;
}

// Answers to one request a channel was sent: (valid, not available).
std::pair<size_t, size_t> answersTo(const test::FakeDataChannel& channel, const Uuid& requestID) {
  std::pair<size_t, size_t> count;
  for (const auto& f : channel.sent()) {
    const auto answer =
        f.binary ? std::nullopt : FileRequestResponseMessageReader().readJSON(f.bytes);
    if (answer && answer->requestID() == requestID)
      (answer->valid() ? count.first : count.second) += 1;
  }
  return count;
}

// The first answer "not available" waits at a gate of its own, and frames at the other.
class RefusalGatedChannel : public GatedChannel {
 public:
  bool sendText(const std::string& text) override {
    if (text.find("\"valid\":false") != std::string::npos) {
      std::unique_lock lock(mutex_);
      if (!seen_) {
        seen_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
      }
    }
    return GatedChannel::sendText(text);
  }
  bool waitForRefusal(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return seen_; });
  }
  void openRefusal() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;  // guards the two below
  std::condition_variable changed_;
  bool seen_ = false;
  bool open_ = false;
};

// A channel that holds the frames it is sent, as a connection's queue does, until released.
class QueueingChannel : public test::FakeDataChannel {
 public:
  bool sendBinary(const Data& bytes) override {
    held_ += bytes.size();
    return FakeDataChannel::sendBinary(bytes);
  }
  size_t bufferedAmount() const override { return held_; }
  void release() { held_ = 0; }

 private:
  std::atomic<size_t> held_{0};
};

// A channel that takes every frame at once, as a fast reader's would, and keeps only its size.
class CountingChannel : public test::FakeDataChannel {
 public:
  bool sendBinary(const Data& bytes) override {
    bytes_ += bytes.size();
    return true;
  }
  size_t frameBytes() const { return bytes_; }

 private:
  std::atomic<size_t> bytes_{0};
};

void ask(test::FakeDataChannel& channel, const Uuid& requestID, int64_t number) {
  channel.deliverText(
      *FileRequestMessage("fileRequest", requestID, kScriptedVideo, number, 1, "video")
           .encode()
           .text);
}

class ScriptedPeers : public ::testing::Test, public test::EngineAnswers {
 protected:
  void SetUp() override {
    OmbreliaConfig::configure("key");
    OmbreliaConfig::shared().setMaxPreloadedSegments(0);
    PeerMessagesEnvironment environment;
    environment.peers = [this] {
      std::lock_guard lock(mutex_);
      std::vector<Peer> list;
      for (const auto& p : peers_) list.push_back(p);
      return list;
    };
    environment.peerWith = [this](const WebRTCClient& client) -> std::optional<Peer> {
      std::lock_guard lock(mutex_);
      for (const auto& p : peers_)
        if (p.webRTCClient.get() == &client) return p;
      return std::nullopt;
    };
    environment.personalUUID = [] { return Uuid::parse("AAAAAAAA-1111-4111-8111-111111111111"); };
    environment.storage = storage;
    environment.bufferLength = [this] {
      std::lock_guard lock(mutex_);
      return buffer_;
    };
    environment.segmentDuration = [] { return int64_t{6}; };
    engine = PeerMessagesController::create(
        SignalingClient::create(std::make_shared<test::RecordingWebSocket>()), analytics,
        std::move(environment));
  }
  void TearDown() override {
    for (const auto& s : scripted) {
      s.far->drain();
      s.near->drain();
    }
    engine.reset();
    platform::DispatchQueue::main()->drain();
  }

  const Scripted& addPeer(const char* uuidText) {
    Scripted s;
    s.uuid = *Uuid::parse(uuidText);
    s.client = WebRTCClient::create({}, *factory);
    auto [near, far] = test::LinkedDataChannel::link(waiter);
    s.connection = factory->last();
    s.connection->deliverDataChannel(near);
    near->deliverOpen();
    s.near = near;
    s.far = far;
    s.client->setDelegate(engine);
    registerPeer(Peer{s.uuid, 1.0, false, false, false, true, s.client});
    scripted.push_back(s);
    return scripted.back();
  }
  // A peer on a channel of the test's own kind; the test delivers its messages itself.
  void addPeerOn(const std::shared_ptr<test::FakeDataChannel>& channel, const char* uuidText) {
    auto client = WebRTCClient::create({}, *factory);
    factory->last()->deliverDataChannel(channel);
    channel->deliverOpen();
    client->setDelegate(engine);
    registerPeer(Peer{*Uuid::parse(uuidText), 1.0, false, false, false, true, client});
  }
  void store(int64_t number, size_t size) {
    storage->saveData(*Url::parse("http://127.0.0.1/s" + std::to_string(number) + ".ts"),
                      Data(media(size, static_cast<uint8_t>(number))), "video/mp2t",
                      segment(number), kScriptedVideo);
    storage->waitUntilIdle();
  }
  void registerPeer(const Peer& peer) {
    std::lock_guard lock(mutex_);
    peers_.push_back(peer);
  }
  void setBuffer(std::optional<double> seconds) {
    std::lock_guard lock(mutex_);
    buffer_ = seconds;
  }

  // True once `predicate` holds, looked at every few milliseconds; false after kBound. For
  // state that no event announces.
  template <typename Predicate>
  bool soon(Predicate predicate) {
    const auto end = std::chrono::steady_clock::now() + kBound;
    while (!predicate()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      waiter->waitFor(std::chrono::milliseconds(5), [] { return false; });
    }
    return true;
  }

  // Everything the scripted peers said has reached the engine.
  void settle() {
    for (const auto& s : scripted) s.far->drain();
  }

  bool answeredWithNothing(size_t count = 1) {
    if (!eventually([&] { return results.size() >= count; })) return false;
    return !bytesOf(count - 1).has_value();
  }
  bool stateIs(std::optional<AbonnementState> state) {
    const auto abonnement = engine->abonnementPeer();
    if (!state) return !abonnement;
    return abonnement && abonnement->state == *state && abonnement->peer.uuid == scripted[0].uuid;
  }

  // The engine asks the first scripted peer for segment 10 and the peer answers `ready`.
  void offerSegment(const Scripted& peer, SegmentReady ready, int64_t pos = 1) {
    const size_t before = peer.received("fileAvailability").size();
    engine->continueAbonnementAsReceiverSearch(segment(10), kScriptedVideo);
    const auto queries = peer.received("fileAvailability");
    ASSERT_EQ(queries.size(), before + 1);
    const auto query = FileAvailabilityRequestMessageReader().readJSON(queries.back());
    peer.say(*FileAvailabilityResponseMessage("fileAvailabilityResponse", query->requestID(), ready,
                                              1, pos, 0, 0, 40.0, 1.0)
                  .encode()
                  .text);
  }
  // The engine becomes confirmed-subscribed to the first scripted peer.
  void subscribe() {
    const Scripted& peer = scripted.at(0);
    const size_t before = peer.received("aboRequest").size();
    offerSegment(peer, SegmentReady::ok);
    ASSERT_TRUE(eventually([&] { return peer.received("aboRequest").size() == before + 1; }));
    accept(peer, true);
    ASSERT_TRUE(eventually([&] { return stateIs(AbonnementState::confirmed); }));
  }
  void accept(const Scripted& peer, bool success) {
    const auto request =
        AbonnementRequestMessageReader().readJSON(peer.received("aboRequest").back());
    peer.say(
        *AbonnementResponseMessage("aboResponse", request->requestID(), success).encode().text);
    settle();
  }
  // A request from the engine to the subscribed peer; its identifier.
  Uuid request(FileRequestType type = FileRequestType::main, int64_t number = 12) {
    engine->sendFileRequest(segment(number), type, kScriptedVideo, recorder());
    const auto texts = scripted.at(0).received("fileRequest");
    EXPECT_FALSE(texts.empty());
    return FileRequestMessageReader().readJSON(texts.back())->requestID();
  }
  void answer(const Scripted& peer, const Uuid& requestID, std::optional<int64_t> size,
              bool valid = true) {
    peer.say(*FileRequestResponseMessage("fileRequestResponse", requestID, valid, 0, size, 1, size,
                                         std::nullopt, std::nullopt, std::nullopt)
                  .encode()
                  .text);
  }
  size_t stopsTo(const Scripted& peer) { return peer.received("fileRequestStop").size(); }

  std::shared_ptr<VideoStorage> storage =
      VideoStorage::create(platform::MemoryPressureSource::create());
  std::shared_ptr<AnalyticsService> analytics = AnalyticsService::create("key");
  std::shared_ptr<test::FakePeerConnectionFactory> factory =
      std::make_shared<test::FakePeerConnectionFactory>();
  std::shared_ptr<PeerMessagesController> engine;
  std::deque<Scripted> scripted;

 private:
  std::mutex mutex_;  // guards the two below
  std::vector<Peer> peers_;
  std::optional<double> buffer_;
};

const char* const kB = "BBBBBBBB-2222-4222-8222-222222222222";
const char* const kC = "CCCCCCCC-3333-4333-8333-333333333333";

// ---- reassembly -------------------------------------------------------------------------

TEST_F(ScriptedPeers, SecondAnswerCannotResizeTheReassembly) {
  const auto& b = addPeer(kB);
  subscribe();
  const Uuid id = request();
  answer(b, id, 100);
  b.frame(id, 0, media(20, 1));
  answer(b, id, 1000000);  // ignored: the first answer sized the buffer
  b.frame(id, 5000, media(20, 2));
  EXPECT_TRUE(answeredWithNothing()) << "a frame past the first size ends the request";
  EXPECT_EQ(stopsTo(b), 1u);

  // And the first size still decides completion.
  const Uuid second = request(FileRequestType::main, 13);
  const std::string bytes = media(40, 3);
  answer(b, second, 40);
  b.frame(second, 0, std::string_view(bytes).substr(0, 20));
  answer(b, second, 60);
  b.frame(second, 20, std::string_view(bytes).substr(20));
  ASSERT_TRUE(eventually([&] { return results.size() == 2; }));
  EXPECT_EQ(bytesOf(1), Data(bytes));
}

TEST_F(ScriptedPeers, OverlappingFramesNeverDeliverASegmentWithHoles) {
  const auto& b = addPeer(kB);
  subscribe();
  const Uuid id = request();
  const std::string bytes = media(40, 4);
  const std::string_view view(bytes);
  answer(b, id, 40);
  b.frame(id, 0, view.substr(0, 20));
  b.frame(id, 10, view.substr(10, 20));  // 40 bytes sent, 30..40 still missing
  settle();
  platform::DispatchQueue::main()->drain();
  EXPECT_EQ(resultCount(), 0u);
  b.frame(id, 25, view.substr(25, 15));
  ASSERT_TRUE(eventually([&] { return results.size() == 1; }));
  EXPECT_EQ(bytesOf(0), Data(bytes));
}

TEST_F(ScriptedPeers, AnswerWithoutASizeOrNotValidIsARefusal) {
  const auto& b = addPeer(kB);
  subscribe();
  answer(b, request(), std::nullopt);
  EXPECT_TRUE(answeredWithNothing(1));
  answer(b, request(FileRequestType::main, 13), 100, /*valid=*/false);
  EXPECT_TRUE(answeredWithNothing(2));
  EXPECT_EQ(engine->pendingFileRequestCount(), 0u);
  EXPECT_EQ(stopsTo(b), 2u);
}

TEST_F(ScriptedPeers, OnlyTheAskedPeerAnswersSendsFramesOrChains) {
  const auto& b = addPeer(kB);
  const auto& c = addPeer(kC);
  subscribe();
  const Uuid id = request();
  answer(c, id, 10);
  c.frame(id, 0, media(10, 1));
  c.say(*PeerChainMessage("mi", id, "cccccccc|aaaaaaaa").encode().text);
  settle();
  platform::DispatchQueue::main()->drain();
  EXPECT_EQ(resultCount(), 0u);
  EXPECT_FALSE(engine->abonnementPeer()->currentChain) << "a chain is taken only from the uploader";
  b.say(*PeerChainMessage("mi", id, "bbbbbbbb|aaaaaaaa").encode().text);
  const std::string bytes = media(30, 5);
  answer(b, id, 30);
  b.frame(id, 0, bytes);
  ASSERT_TRUE(eventually([&] { return results.size() == 1; }));
  EXPECT_EQ(bytesOf(0), Data(bytes));
  EXPECT_EQ(engine->abonnementPeer()->currentChain, "bbbbbbbb|aaaaaaaa");
}

TEST_F(ScriptedPeers, ReassemblyBytesAreBoundedPerPeer) {
  OmbreliaConfig::shared().setMaxPreloadedSegments(3);
  const auto& b = addPeer(kB);
  subscribe();
  const auto big = PeerMessagesController::kMaxSegmentBytes;
  static_assert(PeerMessagesController::kMaxReassemblyBytesPerPeer == 2 * big);
  std::vector<Uuid> ids;
  for (int64_t n = 12; n < 15; ++n) ids.push_back(request(FileRequestType::predownload, n));
  for (const auto& id : ids) {
    answer(b, id, big);
    b.frame(id, 0, media(10, 1));
  }
  EXPECT_TRUE(answeredWithNothing(1)) << "the third buffer would pass the bound";
  settle();
  EXPECT_EQ(engine->pendingFileRequestCount(), 2u);
  EXPECT_EQ(stopsTo(b), 1u);
}

// ---- the end of a subscription ----------------------------------------------------------

TEST_F(ScriptedPeers, EveryEndOfTheSubscriptionAnswersItsRequestsAtOnce) {
  const auto& b = addPeer(kB);
  auto& center = platform::NotificationCenter::defaultCenter();
  const std::vector<std::pair<std::string, std::function<void()>>> ends = {
      {"peer disconnected", [&] { center.post(PeerList::kPeerDisconected, b.uuid); }},
      {"leave group", [&] { center.post("LeaveGroup", true); }},
      {"connection failed", [&] { b.connection->deliverState(datachannel::DCIceState::failed); }},
      {"channel closed",
       [&] {
         b.near->deliverClosed();
         engine->checkRequestMessages();
       }},
  };
  size_t answered = 0;
  for (const auto& [name, end] : ends) {
    SCOPED_TRACE(name);
    if (name == "channel closed") setBuffer(30.0);
    subscribe();
    request();
    const size_t stops = stopsTo(b);
    end();
    // No clock is advanced: the answer does not wait for the stall rule.
    EXPECT_TRUE(answeredWithNothing(++answered));
    EXPECT_TRUE(stateIs(std::nullopt));
    if (name != "channel closed") {
      EXPECT_EQ(stopsTo(b), stops + 1) << "the asked peer hears";
    }
    if (name == "channel closed") break;
  }
}

TEST_F(ScriptedPeers, LateStallStopLeavesANewerSubscriptionAlone) {
  addPeer(kB);
  setBuffer(30.0);
  subscribe();
  request();
  platform::NotificationCenter::defaultCenter().post(PeerList::kPeerDisconected, scripted[0].uuid);
  // A new subscription at once; the old one's request must not bring it down later.
  subscribe();
  platform::MonotonicClock::advance(3500ms);
  engine->checkRequestMessages();
  EXPECT_TRUE(stateIs(AbonnementState::confirmed));
  EXPECT_TRUE(answeredWithNothing());
}

TEST_F(ScriptedPeers, UnansweredSubscriptionExpiresAndAClosedOneEnds) {
  const auto& b = addPeer(kB);
  setBuffer(30.0);
  offerSegment(b, SegmentReady::ok);
  ASSERT_TRUE(eventually([&] { return b.received("aboRequest").size() == 1; }));
  EXPECT_TRUE(stateIs(AbonnementState::requested));
  platform::MonotonicClock::advance(std::chrono::milliseconds(
      static_cast<int64_t>(PeerMessagesController::kAbonnementAnswerTolerance * 1000) - 500));
  engine->checkRequestMessages();
  EXPECT_TRUE(stateIs(AbonnementState::requested));
  platform::MonotonicClock::advance(1s);
  engine->checkRequestMessages();
  EXPECT_TRUE(stateIs(std::nullopt));
  // A new acceptance is taken again.
  subscribe();
  b.near->deliverClosed();
  engine->checkRequestMessages();
  EXPECT_TRUE(stateIs(std::nullopt)) << "a confirmed subscription whose channel is gone";
}

TEST_F(ScriptedPeers, RefusedSubscriptionEndsAndAnAnswerFromAnotherPeerCountsForNothing) {
  const auto& b = addPeer(kB);
  const auto& c = addPeer(kC);
  offerSegment(b, SegmentReady::ok);
  ASSERT_TRUE(eventually([&] { return b.received("aboRequest").size() == 1; }));
  const auto request = AbonnementRequestMessageReader().readJSON(b.received("aboRequest").back());
  c.say(*AbonnementResponseMessage("aboResponse", request->requestID(), true).encode().text);
  settle();
  EXPECT_TRUE(stateIs(AbonnementState::requested));
  accept(b, false);
  EXPECT_TRUE(stateIs(std::nullopt));
}

// ---- the subscription choice ------------------------------------------------------------

TEST_F(ScriptedPeers, ScoresPickTheBestPeerWithOneChoicePerSearch) {
  const auto& b = addPeer(kB);
  const auto& c = addPeer(kC);
  // The main queue is held so that both answers are in before the choice runs.
  auto gate = std::make_shared<test::Latch>();
  platform::DispatchQueue::main()->async([gate] { gate->waitFor(1); });
  engine->continueAbonnementAsReceiverSearch(segment(10), kScriptedVideo);
  for (const auto* peer : {&b, &c}) {
    const auto query =
        FileAvailabilityRequestMessageReader().readJSON(peer->received("fileAvailability").back());
    // C has the segment further ahead: 25 per position outweighs B's larger buffer.
    const int64_t pos = peer == &c ? 3 : 1;
    const double buf = peer == &c ? 30.0 : 50.0;
    peer->say(*FileAvailabilityResponseMessage("fileAvailabilityResponse", query->requestID(),
                                               SegmentReady::downloading, 1, pos, 0, 0, buf, 0.0)
                   .encode()
                   .text);
  }
  settle();
  gate->countDown();
  ASSERT_TRUE(eventually([&] { return c.received("aboRequest").size() == 1; }));
  platform::DispatchQueue::main()->drain();
  EXPECT_EQ(b.received("aboRequest").size(), 0u) << "one choice for the search";
  EXPECT_EQ(c.received("aboRequest").size(), 1u);
  EXPECT_EQ(engine->pendingFileAvailabilityCount(), 0u);
}

TEST_F(ScriptedPeers, DelayedChoiceNeverReplacesAConfirmedSubscription) {
  const auto& b = addPeer(kB);
  const auto& c = addPeer(kC);
  auto gate = std::make_shared<test::Latch>();
  platform::DispatchQueue::main()->async([gate] { gate->waitFor(1); });
  // C scores: a choice is scheduled behind the gate.
  engine->continueAbonnementAsReceiverSearch(segment(10), kScriptedVideo);
  const auto cQuery =
      FileAvailabilityRequestMessageReader().readJSON(c.received("fileAvailability").back());
  c.say(*FileAvailabilityResponseMessage("fileAvailabilityResponse", cQuery->requestID(),
                                         SegmentReady::downloading, 1, 3, 0, 0, 30.0, 0.0)
             .encode()
             .text);
  settle();
  // Meanwhile B holds the segment and confirms.
  const auto bQuery =
      FileAvailabilityRequestMessageReader().readJSON(b.received("fileAvailability").back());
  b.say(*FileAvailabilityResponseMessage("fileAvailabilityResponse", bQuery->requestID(),
                                         SegmentReady::ok, 1, 1, 0, 0, 30.0, 0.0)
             .encode()
             .text);
  ASSERT_TRUE(eventually([&] { return b.received("aboRequest").size() == 1; }));
  accept(b, true);
  ASSERT_TRUE(stateIs(AbonnementState::confirmed));
  gate->countDown();
  platform::DispatchQueue::main()->drain();
  EXPECT_TRUE(stateIs(AbonnementState::confirmed));
  EXPECT_EQ(c.received("aboRequest").size(), 0u);
}

TEST_F(ScriptedPeers, AboRequestIsRefusedOnlyByThePeerThisViewerIsConfirmedTo) {
  const auto& b = addPeer(kB);
  const auto& c = addPeer(kC);
  const auto ask = [&](const Scripted& peer) {
    peer.say(*AbonnementRequestMessage("aboRequest", Uuid::random(), 1).encode().text);
    settle();
    const auto answers = peer.received("aboResponse");
    return AbonnementResponseMessageReader().readJSON(answers.back())->success();
  };
  EXPECT_TRUE(ask(b)) << "no subscription";
  offerSegment(b, SegmentReady::ok);
  ASSERT_TRUE(eventually([&] { return b.received("aboRequest").size() == 1; }));
  EXPECT_TRUE(ask(b)) << "requested only";
  accept(b, true);
  EXPECT_FALSE(ask(b)) << "the two would serve each other";
  EXPECT_TRUE(ask(c));
}

// ---- pre-downloads ----------------------------------------------------------------------

TEST_F(ScriptedPeers, UnansweredPredownloadTimesOutAndAMainRequestNeverJoinsALateOne) {
  OmbreliaConfig::shared().setMaxPreloadedSegments(2);
  const auto& b = addPeer(kB);
  setBuffer(30.0);
  subscribe();
  request(FileRequestType::predownload, 12);
  platform::MonotonicClock::advance(4s);
  engine->checkRequestMessages();
  EXPECT_EQ(engine->pendingFileRequestCount(), 1u) << "a pre-download may take longer";
  // A main request for it does not wait on one already this late: it is asked afresh.
  const Uuid main = request(FileRequestType::main, 12);
  EXPECT_EQ(b.received("fileRequest").size(), 2u);
  EXPECT_TRUE(answeredWithNothing(1));
  EXPECT_EQ(stopsTo(b), 1u);
  const std::string bytes = media(10, 1);
  answer(b, main, 10);
  b.frame(main, 0, bytes);
  ASSERT_TRUE(eventually([&] { return results.size() == 2; }));
  EXPECT_EQ(bytesOf(1), Data(bytes));

  request(FileRequestType::predownload, 13);
  platform::MonotonicClock::advance(std::chrono::seconds(
      static_cast<int64_t>(PeerMessagesController::kPredownloadToleranceSegments * 6) + 1));
  engine->checkRequestMessages();
  EXPECT_TRUE(answeredWithNothing(3));
  EXPECT_EQ(stopsTo(b), 2u);
  EXPECT_TRUE(stateIs(AbonnementState::confirmed)) << "a late pre-download ends only itself";
}

// ---- uploading --------------------------------------------------------------------------

TEST_F(ScriptedPeers, OnePeersFloodOfWaitingRequestsLeavesTheOthersAlone) {
  const auto& b = addPeer(kB);
  const auto& c = addPeer(kC);
  for (int i = 0; i < 5; ++i)
    b.say(*FileRequestMessage("fileRequest", Uuid::random(), kScriptedVideo, 100 + i, 1, "video")
               .encode()
               .text);
  for (int i = 0; i < 300; ++i)
    c.say(*FileRequestMessage("fileRequest", Uuid::random(), kScriptedVideo, 1000 + i, 1, "video")
               .encode()
               .text);
  settle();
  EXPECT_EQ(engine->pendingUploadFileRequestCount(),
            5 + PeerMessagesController::kMaxPendingUploadsPerPeer);
  storage->saveData(*Url::parse("http://127.0.0.1/s102.ts"), Data(media(50, 1)), "video/mp2t",
                    segment(102), kScriptedVideo);
  storage->waitUntilIdle();
  engine->drainUploads();
  EXPECT_EQ(b.received("fileRequestResponse").size(), 1u) << "B's request survived the flood";
}

TEST_F(ScriptedPeers, FloodFromManyIdentifiersEvictsTheirRequestsNotAnHonestPeers) {
  const auto& b = addPeer(kB);
  const Uuid honest = Uuid::random();
  b.say(*FileRequestMessage("fileRequest", honest, kScriptedVideo, 102, 1, "video").encode().text);
  settle();
  // One participant behind eight identifiers, each at its own bound: together past the list's.
  std::vector<const Scripted*> flood;
  for (int p = 0; p < 8; ++p) {
    const std::string id = "DDDDDDDD-4444-4444-8444-00000000000" + std::to_string(p);
    flood.push_back(&addPeer(id.c_str()));
    for (size_t i = 0; i < PeerMessagesController::kMaxPendingUploadsPerPeer; ++i)
      flood.back()->say(*FileRequestMessage("fileRequest", Uuid::random(), kScriptedVideo,
                                            2000 + p * 100 + i, 1, "video")
                             .encode()
                             .text);
  }
  settle();
  EXPECT_EQ(engine->pendingUploadFileRequestCount(), PeerMessagesController::kMaxPendingUploads);
  size_t refusals = 0;
  for (const auto* f : flood) refusals += f->received("fileRequestResponse").size();
  EXPECT_EQ(refusals, 8 * PeerMessagesController::kMaxPendingUploadsPerPeer + 1 -
                          PeerMessagesController::kMaxPendingUploads)
      << "an evicted request is answered as not available";
  store(102, 50);
  engine->drainUploads();
  const auto answers = b.received("fileRequestResponse");
  ASSERT_EQ(answers.size(), 1u) << "the honest peer's request was evicted";
  EXPECT_NE(answers[0].find("\"valid\":true"), std::string::npos);
}

TEST_F(ScriptedPeers, APeersFloodOfAsksAndStopsWritesOneLinePerCauseAtInfoLevel) {
  store(5, 50);
  engine->drainUploads();
  const auto& b = addPeer(kB);
  const auto ask = [&](int64_t number) {
    b.say(*FileRequestMessage("fileRequest", Uuid::random(), kScriptedVideo, number, 1, "video")
               .encode()
               .text);
  };
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::info);
  testing::internal::CaptureStdout();
  // Asks for a segment held, for one still to come, and stops; then the one to come arrives
  // with a full list of asks waiting for it.
  for (int i = 0; i < 300; ++i) {
    ask(5);
    ask(300);
    b.say(*FileRequestStopMessage("fileRequestStop", Uuid::random()).encode().text);
  }
  settle();
  store(300, 50);
  engine->drainUploads();
  const std::string out = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  ASSERT_EQ(b.received("fileRequestResponse").size(), 600u) << "not every ask was answered";
  for (const char* cause : {"segment is available", "added to pending list",
                            "received stop message", "awaiting segment: "})
    EXPECT_EQ(test::linesWith(out, {cause}).size(), 1u) << cause << "\n" << out.substr(0, 3000);
  EXPECT_LE(test::linesWith(out, {"[P2PUpload]"}).size(), 6u) << out.substr(0, 3000);
}

TEST_F(ScriptedPeers, WaitingUploadsExpireAfterSixtySecondsEvenWithoutNewSegments) {
  const auto& b = addPeer(kB);
  b.say(*FileRequestMessage("fileRequest", Uuid::random(), kScriptedVideo, 100, 1, "video")
             .encode()
             .text);
  settle();
  platform::MonotonicClock::advance(59s);
  b.say(*FileRequestMessage("fileRequest", Uuid::random(), kScriptedVideo, 101, 1, "video")
             .encode()
             .text);
  settle();
  platform::MonotonicClock::advance(900ms);
  engine->checkRequestMessages();
  EXPECT_EQ(engine->pendingUploadFileRequestCount(), 2u) << "59.9 s old stays";
  platform::MonotonicClock::advance(200ms);
  engine->checkRequestMessages();
  EXPECT_EQ(engine->pendingUploadFileRequestCount(), 1u);
  // The sweep at a segment's arrival keeps the same limit.
  platform::MonotonicClock::advance(59s);
  storage->saveData(*Url::parse("http://127.0.0.1/s7.ts"), Data(media(50, 1)), "video/mp2t",
                    segment(7), kScriptedVideo);
  storage->waitUntilIdle();
  engine->drainUploads();
  EXPECT_EQ(engine->pendingUploadFileRequestCount(), 0u);
}

TEST_F(ScriptedPeers, SegmentStoredWhileARequestIsFiledIsServedWithoutAnotherArrival) {
  // Held at the moment between the filing of a request and the look that follows it: the peer
  // is at its bound of waiting requests, so the filing evicts its oldest, whose answer is held.
  auto channel = std::make_shared<RefusalGatedChannel>();
  addPeerOn(channel, kC);
  for (size_t i = 0; i < PeerMessagesController::kMaxPendingUploadsPerPeer; ++i)
    ask(*channel, Uuid::random(), 1000 + static_cast<int64_t>(i));
  // Its kind is named as no segment's is, which the store reads as unknown: the arrival's own
  // match passes it by, and only the look for any stored segment finds it.
  const Uuid id = Uuid::random();
  std::atomic<bool> asked{false};
  std::thread asking([&] {
    channel->deliverText(
        *FileRequestMessage("fileRequest", id, kScriptedVideo, 50, 1, "other").encode().text);
    asked = true;
  });
  ASSERT_TRUE(channel->waitForRefusal(kBound));
  storage->saveData(*Url::parse("http://127.0.0.1/u50.ts"), Data(media(40000, 1)), "video/mp2t",
                    SegmentInfo(SegmentType::unknown, 800000, 1600000, std::nullopt, 1, 50, 6.0),
                    kScriptedVideo);
  storage->waitUntilIdle();
  // The arrival's serving sends the segment, held at its first frame; the filing's own look
  // comes now.
  const bool sending = channel->waitForSends(1, kBound);
  channel->openRefusal();
  for (int i = 0; i < 500 && !asked; ++i)
    channel->waitUntil(std::chrono::milliseconds(2), [&] { return asked.load(); });
  channel->open();
  asking.join();
  engine->drainUploads();
  EXPECT_TRUE(sending);
  EXPECT_EQ(answersTo(*channel, id), std::make_pair(size_t{1}, size_t{0})) << "answered twice";

  const size_t waiting = engine->pendingUploadFileRequestCount();
  const auto& b = addPeer(kB);
  // The store and the request race freely; whichever wins, each request is served at once, not
  // at some later segment's arrival. Rounds stay under the per-peer waiting bound.
  size_t served = 0;
  for (int round = 0; round < 5; ++round) {
    std::thread storing([&, round] {
      for (int i = 0; i < 20; ++i) {
        const int64_t n = round * 100 + i;
        storage->saveData(*Url::parse("http://127.0.0.1/r" + std::to_string(n) + ".ts"),
                          Data(media(100, static_cast<uint8_t>(i))), "video/mp2t", segment(n),
                          kScriptedVideo);
      }
    });
    for (int i = 0; i < 20; ++i)
      b.say(*FileRequestMessage("fileRequest", Uuid::random(), kScriptedVideo, round * 100 + i, 1,
                                "video")
                 .encode()
                 .text);
    storing.join();
    storage->waitUntilIdle();
    settle();
    engine->drainUploads();
    served += 20;
    EXPECT_EQ(b.received("fileRequestResponse").size(), served) << "round " << round;
    EXPECT_EQ(engine->pendingUploadFileRequestCount(), waiting);
  }
}

TEST_F(ScriptedPeers, RequestRacingAStopIsNeverLeftListed) {
  addPeer(kB);
  for (int round = 0; round < 3; ++round) {
    subscribe();
    std::thread asking([&] {
      for (int i = 0; i < 100; ++i)
        engine->sendFileRequest(segment(100 + i), FileRequestType::main, kScriptedVideo,
                                recorder());
    });
    engine->stopAbonnement();
    asking.join();
    EXPECT_EQ(engine->pendingFileRequestCount(), 0u) << "a request listed for no subscription";
    ASSERT_TRUE(eventually([&] { return results.size() == 100u * (round + 1); }));
  }
}

TEST_F(ScriptedPeers, TransfersToOnePeerAtOnceAreBounded) {
  store(5, 40000);
  auto channel = std::make_shared<GatedChannel>();
  addPeerOn(channel, kB);
  const auto ask = [&] {
    channel->deliverText(
        *FileRequestMessage("fileRequest", Uuid::random(), kScriptedVideo, 5, 1, "video")
             .encode()
             .text);
  };
  const auto answers = [&](const char* valid) {
    size_t count = 0;
    for (const auto& frame : channel->sent())
      count += frame.bytes.find(std::string("\"valid\":") + valid) != std::string::npos ? 1 : 0;
    return count;
  };
  std::vector<std::thread> requesters;
  for (int i = 0; i < PeerMessagesController::kMaxUploadsInFlightPerPeer; ++i)
    requesters.emplace_back(ask);
  ASSERT_TRUE(channel->waitUntil(kBound, [&] {
    return answers("true") ==
           static_cast<size_t>(PeerMessagesController::kMaxUploadsInFlightPerPeer);
  }));
  // Both transfers are held in the channel: one more request is refused, not sent in full.
  requesters.emplace_back(ask);
  const bool refused = channel->waitUntil(kBound, [&] { return answers("false") == 1; });
  channel->open();
  for (auto& t : requesters) t.join();
  EXPECT_TRUE(refused);
  // Once they are done, the peer is served again.
  ask();
  EXPECT_EQ(answers("false"), 1u);
}

TEST_F(ScriptedPeers, FastPeersTogetherAreHeldToTheTotalUploadRate) {
  // Four peers, each taking frames as fast as they come and asking for two 16 MiB segments:
  // each alone may take its own pace, and the four paces together are twice the total.
  constexpr size_t kSegmentBytes = 16 * 1024 * 1024;
  store(5, kSegmentBytes);
  store(6, kSegmentBytes);
  constexpr int kPeers = 4;
  static_assert(kPeers * PeerMessagesController::kMaxUploadBytesPerSecondPerPeer >=
                2 * PeerMessagesController::kMaxUploadBytesPerSecond);
  std::vector<std::shared_ptr<CountingChannel>> channels;
  for (int i = 0; i < kPeers; ++i) {
    channels.push_back(std::make_shared<CountingChannel>());
    const std::string uuid = "DDDDDDDD-4444-4444-8444-00000000000" + std::to_string(i);
    addPeerOn(channels.back(), uuid.c_str());
    ask(*channels.back(), Uuid::random(), 5);
    ask(*channels.back(), Uuid::random(), 6);
  }
  const auto total = [&] {
    size_t bytes = 0;
    for (const auto& c : channels) bytes += c->frameBytes();
    return bytes;
  };
  // Past the first burst, what the window sees is at most the total pace over its length plus
  // one burst (what was allowed and not yet taken as it began); a slow machine only sends less.
  ASSERT_TRUE(soon([&] { return total() > 0; }));
  std::vector<size_t> each;
  for (const auto& c : channels) each.push_back(c->frameBytes());
  const auto from = std::chrono::steady_clock::now();
  const size_t before = total();
  waiter->waitFor(1s, [] { return false; });
  const size_t after = total();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
  const double bound = PeerMessagesController::kMaxUploadBytesPerSecond * seconds * 1.1 +
                       2.0 * PeerMessagesController::kMaxQueuedUploadBytesPerPeer;
  std::cout << "four fast peers took " << (after - before) / seconds / (1024 * 1024)
            << " MiB/s together\n";
  EXPECT_LE(static_cast<double>(after - before), bound);
  // Each takes its share of the total: an even share is a quarter, and none waits on the others.
  for (size_t i = 0; i < channels.size(); ++i)
    EXPECT_GE(channels[i]->frameBytes() - each[i], (after - before) / (2 * kPeers))
        << "peer " << i << " took less than half its share";
}

TEST_F(ScriptedPeers, StopEndsWhatIsNotYetQueuedAndAStalledPeerLosesItsTransfers) {
  store(5, 1024 * 1024);
  store(6, 1024 * 1024);
  auto channel = std::make_shared<QueueingChannel>();
  addPeerOn(channel, kB);
  const Uuid b = *Uuid::parse(kB);
  const Uuid stopped = Uuid::random();
  ask(*channel, stopped, 5);
  const size_t queued = framesOf(*channel, stopped);
  EXPECT_LE(channel->bufferedAmount(), PeerMessagesController::kMaxQueuedUploadBytesPerPeer);
  channel->deliverText(*FileRequestStopMessage("fileRequestStop", stopped).encode().text);
  channel->release();
  ASSERT_TRUE(soon([&] { return engine->uploadsInFlightTo(b) == 0; }));
  EXPECT_EQ(framesOf(*channel, stopped), queued) << "frames handed over after the stop";
  // Two transfers whose frames never leave: the peer gets no third, until they have stalled
  // for longer than the bound.
  ask(*channel, Uuid::random(), 5);
  ask(*channel, Uuid::random(), 6);
  const Uuid refused = Uuid::random(), later = Uuid::random();
  ask(*channel, refused, 6);
  EXPECT_EQ(answersTo(*channel, refused), std::make_pair(size_t{0}, size_t{1}));
  platform::MonotonicClock::advance(std::chrono::milliseconds(
      static_cast<int64_t>(PeerMessagesController::kMaxUploadStallSeconds * 1000) + 100));
  ASSERT_TRUE(soon([&] { return engine->uploadsInFlightTo(b) == 0; }));
  ask(*channel, later, 6);
  EXPECT_EQ(answersTo(*channel, later), std::make_pair(size_t{1}, size_t{0}));
}

// A store with room for two 1 MiB segments, so that an upload can hold an evicted one.
class ScriptedPeersBesideASmallStore : public ScriptedPeers {
 protected:
  static constexpr size_t kSegmentBytes = 1024 * 1024;
  void SetUp() override {
    storage = VideoStorage::create(platform::MemoryPressureSource::create(),
                                   VideoStorage::Settings{2 * kSegmentBytes});
    ScriptedPeers::SetUp();
  }
};

TEST_F(ScriptedPeersBesideASmallStore, UploadOfAnEvictedSegmentGivesWayToTheNextSegment) {
  store(5, kSegmentBytes);
  store(6, kSegmentBytes);
  auto channel = std::make_shared<QueueingChannel>();
  addPeerOn(channel, kB);
  const Uuid b = *Uuid::parse(kB);
  const Uuid slow = Uuid::random();
  ask(*channel, slow, 5);  // the peer reads nothing: the transfer keeps the segment
  ASSERT_TRUE(soon([&] { return framesOf(*channel, slow) > 0; }));
  store(7, kSegmentBytes);
  ASSERT_TRUE(soon([&] { return storage->getSegment(segment(7), kScriptedVideo) != nullptr; }))
      << "the next segment found no room beside the upload of the evicted one";
  EXPECT_LE(storage->heldBytes(), 2 * kSegmentBytes);
  const size_t sent = framesOf(*channel, slow);
  channel->release();
  ASSERT_TRUE(soon([&] { return engine->uploadsInFlightTo(b) == 0; }));
  EXPECT_EQ(framesOf(*channel, slow), sent) << "frames of the evicted segment cut after it ended";
  EXPECT_LT(sent, (kSegmentBytes + 15899) / 15900);
}

TEST_F(ScriptedPeers, FrameRefusedByTheChannelEndsTheTransferAndIsNotCounted) {
  const auto& b = addPeer(kB);
  storage->saveData(*Url::parse("http://127.0.0.1/s5.ts"), Data(media(40000, 1)), "video/mp2t",
                    segment(5), kScriptedVideo);
  storage->waitUntilIdle();
  b.near->refuseBinaryAfter(1);
  b.say(*FileRequestMessage("fileRequest", Uuid::random(), kScriptedVideo, 5, 1, "video")
             .encode()
             .text);
  settle();
  EXPECT_EQ(b.near->binaryAttempts(), 2u) << "the third frame is not even tried";
  EXPECT_EQ(analytics->getDataSent(), 15900 + 24);
}

}  // namespace
}  // namespace ombrelia
