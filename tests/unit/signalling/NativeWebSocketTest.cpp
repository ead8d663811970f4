#include "signalling/NativeWebSocket.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <ombrelia/OLoggerConfig.hpp>
#include <ombrelia/OmbreliaConfig.hpp>

#include "signalling/WebSocketProviderDelegate.hpp"
#include "support/HeapGauge.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestTracker.hpp"
#include "support/TransportRecorder.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using test::TestTracker;
using test::TransportRecorder;

class NativeWebSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    certificates.trustInProcess();
    if (!OmbreliaConfig::isConfigured()) OmbreliaConfig::configure("test-key");
    OmbreliaConfig::shared().setP2pConfiguration(std::nullopt);
  }

  std::unique_ptr<TestTracker> makeTracker() {
    return std::make_unique<TestTracker>(
        TestTracker::Settings{certificates.issue({"localhost"}, {"127.0.0.1"})});
  }

  static NativeWebSocket::Settings fastSettings() {
    NativeWebSocket::Settings settings;
    settings.connection.handshakeTimeout = 1000ms;
    settings.backoff.initialDelay = 100ms;
    settings.backoff.maxDelay = 400ms;
    return settings;
  }

  std::shared_ptr<NativeWebSocket> makeSocket(
      const Url& url, bool reconnect = false,
      const NativeWebSocket::Settings& settings = fastSettings()) {
    recorder = std::make_shared<TransportRecorder>(reconnect);
    auto socket = NativeWebSocket::create(url, settings);
    socket->setDelegate(recorder);
    return socket;
  }

  // Connects and waits until both ends have completed the first handshake.
  void connectServed(NativeWebSocket& socket, const TestTracker& tracker) {
    socket.connect();
    ASSERT_TRUE(recorder->waitUntil([&] { return recorder->connects() == 1; }));
    waitUntilServed(tracker, 1);
  }

  // The tracker registers a connection when its own handshake completion runs, which may trail
  // the client's: frames it sends before that would go nowhere.
  static void waitUntilServed(const TestTracker& tracker, size_t handshakes) {
    ASSERT_TRUE(tracker.waitUntil([&] { return tracker.handshakeCount() == handshakes; }));
  }

  test::TestCertificates certificates;
  std::shared_ptr<TransportRecorder> recorder;
};

TEST_F(NativeWebSocketTest, RotatesThroughTheTrackerListWithConfigAfterTheExistingQuery) {
  auto a = makeTracker();
  auto b = makeTracker();
  auto c = makeTracker();
  OmbreliaConfig::shared().setP2pConfiguration("a b&c=d");
  auto socket = makeSocket(*Url::parseAbsolute("wss://localhost:1/"));
  socket->setTrackerList({a->url("localhost", "/?x=1"), b->url(), c->url("localhost", "/t")});
  for (auto* tracker : {a.get(), b.get(), c.get(), a.get()}) {
    size_t before = tracker->handshakeCount();
    socket->connect();
    ASSERT_TRUE(tracker->waitUntil([&] { return tracker->handshakeCount() == before + 1; }));
  }
  EXPECT_EQ(a->handshakeTargets(),
            (std::vector<std::string>{"/?x=1&config=a%20b%26c%3Dd", "/?x=1&config=a%20b%26c%3Dd"}));
  EXPECT_EQ(b->handshakeTargets(), std::vector<std::string>{"/?config=a%20b%26c%3Dd"});
  EXPECT_EQ(c->handshakeTargets(), std::vector<std::string>{"/t?config=a%20b%26c%3Dd"});
  EXPECT_EQ(recorder->disconnects(), 0) << "replaced connections report nothing";
}

TEST_F(NativeWebSocketTest, AnEntryEqualToTheDefaultDoesNotFreezeTheRotation) {
  auto a = makeTracker();
  auto b = makeTracker();
  auto socket = makeSocket(a->url());
  socket->setTrackerList({a->url(), b->url()});
  for (auto* tracker : {a.get(), b.get(), a.get()}) {
    size_t before = tracker->handshakeCount();
    socket->connect();
    ASSERT_TRUE(tracker->waitUntil([&] { return tracker->handshakeCount() == before + 1; }));
  }
}

TEST_F(NativeWebSocketTest, DropsEntriesThatAreNotWebSocketUrls) {
  auto tracker = makeTracker();
  auto socket = makeSocket(tracker->url());
  socket->setTrackerList(
      {*Url::parseAbsolute("https://a.example/"), *Url::parseAbsolute("ftp://b.example/")});
  EXPECT_TRUE(socket->trackerList().empty());
  socket->connect();
  ASSERT_TRUE(tracker->waitUntil([&] { return tracker->handshakeCount() == 1; }))
      << "an emptied list keeps the default endpoint";
  socket->setTrackerList(
      {*Url::parseAbsolute("http://a.example/"), tracker->url("localhost", "/b")});
  EXPECT_EQ(socket->trackerList(), std::vector<Url>{tracker->url("localhost", "/b")});
}

TEST_F(NativeWebSocketTest, OneDisconnectAndOneReconnectPerServerClose) {
  auto tracker = makeTracker();
  auto socket = makeSocket(tracker->url(), /*reconnect=*/true);
  ASSERT_NO_FATAL_FAILURE(connectServed(*socket, *tracker));
  for (int round = 1; round <= 2; ++round) {
    tracker->closeAll();
    ASSERT_TRUE(recorder->waitUntil([&] { return recorder->connects() == round + 1; }));
    socket->delegateQueue()->drain();
    EXPECT_EQ(recorder->disconnects(), round);
    // The tracker counts a handshake once its own completion has run, which may trail ours.
    ASSERT_TRUE(tracker->waitUntil(
        [&] { return tracker->handshakeCount() == static_cast<size_t>(round + 1); }));
  }
}

// With an initial delay of 100 ms and half jitter, attempts 3, 4 and 5 wait at least 50, 100 and
// 200 ms; without a back-off they would follow each other within milliseconds.
constexpr auto kMinimumWaitBeforeFifthAttempt = 350ms;

TEST_F(NativeWebSocketTest, BacksOffAgainstATrackerThatRefuses) {
  auto tracker = makeTracker();
  tracker->setBehaviour(TestTracker::Behaviour::acceptAndClose);
  auto socket = makeSocket(tracker->url(), /*reconnect=*/true);
  auto start = std::chrono::steady_clock::now();
  socket->connect();
  ASSERT_TRUE(tracker->waitUntil([&] { return tracker->acceptedCount() >= 2; }, 1s))
      << "the first retry goes out at once";
  ASSERT_TRUE(tracker->waitUntil([&] { return tracker->acceptedCount() >= 5; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, kMinimumWaitBeforeFifthAttempt);
  EXPECT_LE(tracker->acceptedCount(), 6u);
  EXPECT_EQ(recorder->connects(), 0);
}

TEST_F(NativeWebSocketTest, BacksOffAgainstATrackerThatClosesAtOnce) {
  auto tracker = makeTracker();
  tracker->setCloseAfter(0ms);
  auto socket = makeSocket(tracker->url(), /*reconnect=*/true);
  auto start = std::chrono::steady_clock::now();
  socket->connect();
  ASSERT_TRUE(tracker->waitUntil([&] { return tracker->handshakeCount() >= 5; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, kMinimumWaitBeforeFifthAttempt);
  EXPECT_LE(tracker->handshakeCount(), 6u);
}

TEST_F(NativeWebSocketTest, BackOffResetsOnlyAfterAConnectionStayedOpenLongEnough) {
  auto tracker = makeTracker();
  tracker->setBehaviour(TestTracker::Behaviour::acceptAndClose);
  auto settings = fastSettings();
  settings.backoff.initialDelay = 10s;  // far beyond the test's real duration: only driven time
  settings.backoff.maxDelay = 20s;
  auto socket = makeSocket(tracker->url(), /*reconnect=*/true, settings);
  socket->connect();
  ASSERT_TRUE(tracker->waitUntil([&] { return tracker->acceptedCount() == 2; }));
  ASSERT_TRUE(recorder->waitUntil([&] { return recorder->disconnects() == 2; }));
  socket->delegateQueue()->drain();  // the reconnection has planned its delayed open
  tracker->setBehaviour(TestTracker::Behaviour::serve);
  platform::MonotonicClock::advance(settings.backoff.initialDelay);
  ASSERT_TRUE(recorder->waitUntil([&] { return recorder->connects() == 1; }));
  waitUntilServed(*tracker, 1);

  // Open for less than the reset period: the next retry still waits.
  tracker->closeAll();
  ASSERT_TRUE(recorder->waitUntil([&] { return recorder->disconnects() == 3; }));
  socket->delegateQueue()->drain();
  EXPECT_FALSE(tracker->waitUntil([&] { return tracker->handshakeCount() == 2; }, 300ms));
  platform::MonotonicClock::advance(settings.backoff.maxDelay);
  ASSERT_TRUE(recorder->waitUntil([&] { return recorder->connects() == 2; }));
  waitUntilServed(*tracker, 2);

  // Open for the reset period: the next retry is immediate again.
  platform::MonotonicClock::advance(NativeWebSocket::kBackoffResetAfter);
  tracker->closeAll();
  EXPECT_TRUE(recorder->waitUntil([&] { return recorder->connects() == 3; }));
}

TEST_F(NativeWebSocketTest, HandshakeTimeoutEndsATrackerThatNeverAnswers) {
  auto tracker = makeTracker();
  tracker->setBehaviour(TestTracker::Behaviour::neverHandshake);
  auto settings = fastSettings();
  settings.connection.handshakeTimeout = 200ms;
  auto socket = makeSocket(tracker->url(), /*reconnect=*/false, settings);
  socket->connect();
  ASSERT_TRUE(
      recorder->waitUntil([&] { return recorder->disconnects() == 1; }, test::scaledWait(3s)));
  EXPECT_EQ(recorder->connects(), 0);
}

// A viewer whose tracker cannot be reached gets no peer help, and retries every few seconds for
// as long as it plays: the application is told why in one line, again only for a new reason, and
// never shown the URL's user name, password or query. A tracker that takes the connection and
// drops it reads as "Connection reset by peer" or "stream truncated", by turns.
TEST_F(NativeWebSocketTest, TellsOnceWhyTheTrackerCannotBeReachedAndAgainForANewReason) {
  auto tracker = makeTracker();
  tracker->setBehaviour(TestTracker::Behaviour::acceptAndClose);
  const uint16_t port = tracker->port();
  Url url = tracker->url("localhost", "/signal?key=k3y");
  url.setUserInfo("user:s3cret");
  // Debug: the lines of every connection attempt must not show them either.
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::debug);
  testing::internal::CaptureStdout();
  auto socket = makeSocket(url, /*reconnect=*/true);
  socket->connect();
  const bool droppedOften =
      recorder->waitUntil([&] { return recorder->disconnects() >= 6; }, test::scaledWait(10s));
  tracker.reset();  // the port now refuses
  const int before = recorder->disconnects();
  const bool refusedThrice = recorder->waitUntil(
      [&] { return recorder->disconnects() >= before + 3; }, test::scaledWait(10s));
  socket->setDelegate({});
  socket.reset();
  const std::string out = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  ASSERT_TRUE(droppedOften && refusedThrice) << out;

  std::vector<std::string> lines;
  std::istringstream read(out);
  for (std::string line; std::getline(read, line);) {
    if (line.find("cannot be reached") != std::string::npos) lines.push_back(line);
  }
  ASSERT_GE(lines.size(), 2u) << "one line per reason, not none:\n" << out;
  EXPECT_LE(lines.size(), 3u) << "one line per reason, not one per attempt:\n" << out;
  const std::string shown = "Tracker wss://localhost:" + std::to_string(port) + "/signal";
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_NE(lines[i].find(shown + " cannot be reached: "), std::string::npos) << lines[i];
    EXPECT_EQ(std::count(lines.begin(), lines.end(), lines[i]), 1) << "told twice: " << lines[i];
  }
  EXPECT_NE(lines.back().find("Connection refused"), std::string::npos) << lines.back();
  EXPECT_EQ(out.find("s3cret"), std::string::npos) << out;
  EXPECT_EQ(out.find("k3y"), std::string::npos) << out;
}

TEST_F(NativeWebSocketTest, PingsKeepASilentTrackerAndDropOneThatStopsAnswering) {
  auto tracker = makeTracker();
  auto settings = fastSettings();
  settings.connection.idleTimeout = 300ms;
  auto socket = makeSocket(tracker->url(), /*reconnect=*/false, settings);
  ASSERT_NO_FATAL_FAILURE(connectServed(*socket, *tracker));
  // Three idle timeouts without one application message: the pongs keep the connection.
  EXPECT_FALSE(recorder->waitUntil([&] { return recorder->disconnects() > 0; }, 900ms));
  tracker->freeze();
  EXPECT_TRUE(
      recorder->waitUntil([&] { return recorder->disconnects() == 1; }, test::scaledWait(3s)));
  tracker->thaw();
}

TEST_F(NativeWebSocketTest, FrameAtTheBoundPassesAndOversizedOrMalformedFramesOnlyReconnect) {
  auto tracker = makeTracker();
  auto socket = makeSocket(tracker->url(), /*reconnect=*/true);
  ASSERT_NO_FATAL_FAILURE(connectServed(*socket, *tracker));
  tracker->sendOversizedToAll(platform::WebSocketConnection::kMaxMessageBytes);
  ASSERT_TRUE(recorder->waitUntil([&] { return recorder->texts().size() == 1; }));
  EXPECT_EQ(recorder->texts()[0].size(), platform::WebSocketConnection::kMaxMessageBytes);

  tracker->sendOversizedToAll(platform::WebSocketConnection::kMaxMessageBytes + 1);
  ASSERT_TRUE(recorder->waitUntil([&] { return recorder->connects() == 2; }));
  waitUntilServed(*tracker, 2);
  EXPECT_EQ(recorder->disconnects(), 1);

  tracker->sendRawToAll(std::string("\xff\x00", 2));  // reserved bits and opcode: a protocol error
  ASSERT_TRUE(recorder->waitUntil([&] { return recorder->connects() == 3; }));
  waitUntilServed(*tracker, 3);
  EXPECT_EQ(recorder->disconnects(), 2);

  tracker->sendToAll("still here");
  ASSERT_TRUE(recorder->waitUntil([&] { return recorder->texts().size() == 2; }));
  EXPECT_EQ(recorder->texts()[1], "still here");
}

TEST_F(NativeWebSocketTest, RefusesACertificateNobodyTrustsOrIssuedForAnotherHost) {
  TestTracker untrusted(TestTracker::Settings{test::TestCertificates::selfSigned("localhost")});
  TestTracker other(TestTracker::Settings{certificates.issue({"other.test"})});
  for (TestTracker* refused : {&untrusted, &other}) {
    auto socket = makeSocket(refused->url("localhost"));
    socket->connect();
    ASSERT_TRUE(recorder->waitUntil([&] { return recorder->disconnects() == 1; }));
    EXPECT_EQ(recorder->connects(), 0);
    EXPECT_EQ(refused->handshakeCount(), 0u);
  }

  TestTracker namedOnly(TestTracker::Settings{certificates.issue({"localhost"})});
  auto byAddress = makeSocket(namedOnly.url("127.0.0.1"));
  byAddress->connect();
  ASSERT_TRUE(recorder->waitUntil([&] { return recorder->disconnects() == 1; }));
  EXPECT_EQ(recorder->connects(), 0) << "a name in the certificate does not cover the address";

  auto tracker = makeTracker();
  auto matching = makeSocket(tracker->url("127.0.0.1"));
  matching->connect();
  EXPECT_TRUE(recorder->waitUntil([&] { return recorder->connects() == 1; }));
}

TEST_F(NativeWebSocketTest, SendsFromManyThreadsArriveWholeAndInOrderPerThread) {
  auto tracker = makeTracker();
  auto socket = makeSocket(tracker->url());
  socket->send(Data(std::string(R"({"type":"early"})")));  // no connection yet: dropped
  ASSERT_NO_FATAL_FAILURE(connectServed(*socket, *tracker));
  constexpr int kThreads = 8;
  constexpr int kPerThread = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        socket->send(
            Data(R"({"type":"t)" + std::to_string(t) + R"(","i":)" + std::to_string(i) + "}"));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  socket->send(Data(std::string("bad \xff utf-8")));  // not UTF-8: dropped
  ASSERT_TRUE(tracker->waitUntil(
      [&] { return tracker->received().size() == static_cast<size_t>(kThreads * kPerThread); }));
  for (int t = 0; t < kThreads; ++t) {
    auto mine = tracker->received("t" + std::to_string(t));
    ASSERT_EQ(mine.size(), static_cast<size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) {
      EXPECT_EQ(mine[i].text,
                R"({"type":"t)" + std::to_string(t) + R"(","i":)" + std::to_string(i) + "}");
    }
  }
  EXPECT_TRUE(tracker->received("early").empty());
}

// Takes its time over every long text, as a dispatcher busy with a large group list would, and
// keeps only the short ones.
class SlowReader final : public WebSocketProviderDelegate {
 public:
  static constexpr size_t kLong = 1024;

  void webSocketDidConnect(WebSocketProvider&) override {
    change([&] { ++connects_; });
  }
  void webSocketDidDisconnect(WebSocketProvider&) override {}
  void webSocket(WebSocketProvider&, const Data&) override {}
  void webSocket(WebSocketProvider&, const std::string& text) override {
    if (text.size() >= kLong) {
      std::this_thread::sleep_for(30ms);
      change([&] { ++longTexts_; });
    } else {
      change([&] { shortTexts_.push_back(text); });
    }
  }

  bool waitUntil(const std::function<bool(size_t connects, size_t longTexts,
                                          const std::vector<std::string>& shortTexts)>& done,
                 std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return done(connects_, longTexts_, shortTexts_); });
  }

 private:
  template <typename Change>
  void change(Change apply) {
    {
      std::lock_guard lock(mutex_);
      apply();
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  size_t connects_ = 0;
  size_t longTexts_ = 0;
  std::vector<std::string> shortTexts_;
};

TEST_F(NativeWebSocketTest, TrackerFloodingMegabyteTextsIsReadNoFasterThanTheyAreHandled) {
  auto tracker = makeTracker();
  auto reader = std::make_shared<SlowReader>();
  auto socket = NativeWebSocket::create(tracker->url(), fastSettings());
  socket->setDelegate(reader);
  socket->connect();
  ASSERT_TRUE(reader->waitUntil([](size_t connects, size_t, const auto&) { return connects == 1; },
                                test::scaledWait(5s)));
  waitUntilServed(*tracker, 1);

  constexpr size_t kTexts = 40;
  constexpr size_t kBytes = platform::WebSocketConnection::kMaxMessageBytes - 64;
  test::HeapGauge heap;
  tracker->floodToAll(kTexts, kBytes);
  tracker->sendToAll("after the flood");
  ASSERT_TRUE(reader->waitUntil(
      [](size_t, size_t, const auto& shortTexts) { return !shortTexts.empty(); }, 120s));
  EXPECT_TRUE(
      reader->waitUntil([](size_t, size_t longTexts, const auto&) { return longTexts == kTexts; },
                        test::scaledWait(1s)));
  // Read as they are handled, a few at most wait at any moment: the bound is a handful of
  // frames, not the forty megabytes sent.
  EXPECT_LT(heap.peakGrowth(), size_t{16} << 20) << "peak heap growth " << heap.peakGrowth();

  socket->send(Data(std::string(R"({"type":"ping"})")));
  EXPECT_TRUE(tracker->waitUntil([&] { return tracker->received("ping").size() == 1; }))
      << "the exchange with the tracker stopped";
}

}  // namespace
}  // namespace ombrelia
