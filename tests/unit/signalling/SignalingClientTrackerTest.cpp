#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ombrelia/OmbreliaConfig.hpp>

#include "platform/DispatchQueue.hpp"
#include "platform/MonotonicClock.hpp"
#include "protocol/GroupResponseMessageReader.hpp"
#include "protocol/InitMessageReader.hpp"
#include "protocol/PeerConnectionMessageReader.hpp"
#include "protocol/TransferDescriptionMessageReader.hpp"
#include "signalling/SignalingClient.hpp"
#include "signalling/SocketConfig.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestTracker.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using test::TestTracker;

// Does with the client what the signalling dispatcher does: "init" on every connection, a new
// connection after every disconnection; and keeps what it receives.
class DispatcherStandIn final : public SignalClientDelegate {
 public:
  explicit DispatcherStandIn(std::string videoID) : videoID_(std::move(videoID)) {}

  void signalClientDidConnect(SignalingClient& client) override {
    client.sendInit(videoID_, "", "client");
  }
  void signalClientDidDisconnect(SignalingClient& client) override { client.connect(); }
  void signalClient(SignalingClient&, const Data&) override {}
  void signalClient(SignalingClient&, const std::string& text) override {
    {
      std::lock_guard lock(mutex_);
      texts_.push_back(text);
    }
    changed_.notify_all();
  }

  std::vector<std::string> texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
  }
  // The first received text that the reader accepts, waiting for it with a bound.
  template <typename Reader>
  auto waitFor(Reader reader) -> decltype(reader.readJSON("")) {
    std::unique_lock lock(mutex_);
    decltype(reader.readJSON("")) found;
    changed_.wait_for(lock, test::scaledWait(5s), [&] {
      for (const auto& text : texts_) {
        if ((found = reader.readJSON(text))) return true;
      }
      return false;
    });
    return found;
  }

 private:
  const std::string videoID_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> texts_;
};

class SignalingClientTrackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    certificates.trustInProcess();
    if (!OmbreliaConfig::isConfigured()) OmbreliaConfig::configure("test-key");
    tracker = std::make_unique<TestTracker>(
        TestTracker::Settings{certificates.issue({"localhost"}, {"127.0.0.1"})});
    SocketConfig::overrideDefaultEndpoint(tracker->url());
  }
  void TearDown() override { SocketConfig::overrideDefaultEndpoint(std::nullopt); }

  std::pair<std::shared_ptr<SignalingClient>, std::shared_ptr<DispatcherStandIn>> makeClient(
      const std::string& videoID) {
    auto client = SocketConfig::buildSignalingClient(SocketConfig::defaultConfig());
    auto delegate = std::make_shared<DispatcherStandIn>(videoID);
    client->setDelegate(delegate);
    return {client, delegate};
  }

  test::TestCertificates certificates;
  std::unique_ptr<TestTracker> tracker;
};

TEST_F(SignalingClientTrackerTest, PingsOncePerIntervalHoweverOftenItReconnects) {
  auto [client, delegate] = makeClient("video-1");
  for (size_t connection = 1; connection <= 6; ++connection) {
    client->connect();
    ASSERT_TRUE(tracker->waitUntil([&] { return tracker->handshakeCount() == connection; }));
  }
  ASSERT_TRUE(tracker->waitUntil([&] { return tracker->openCount() == 1; }));
  for (size_t interval = 1; interval <= 2; ++interval) {
    platform::MonotonicClock::advance(SignalingClient::kPingInterval);
    platform::DispatchQueue::main()->drain();
    // Sent after whatever the timer queued, on the same connection, so it arrives after it.
    client->sendLeaveGroup();
    ASSERT_TRUE(
        tracker->waitUntil([&] { return tracker->received("leaveGroup").size() == interval; }));
    auto pings = tracker->received("ping");
    ASSERT_EQ(pings.size(), interval);
    EXPECT_EQ(pings.back().text, R"({"type":"ping"})");
  }
}

}  // namespace
}  // namespace ombrelia
