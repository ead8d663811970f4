#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <ombrelia/OLoggerConfig.hpp>

#include "datachannel/DCPeerConnection.hpp"
#include "support/ChannelRecorder.hpp"
#include "support/ChildProcess.hpp"
#include "support/LoopbackPeers.hpp"
#include "support/Waiter.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::ChannelRecorder;
using test::ChildProcess;

constexpr size_t kSegmentFrameBytes = 15924;
constexpr size_t kEchoedBytes = 256 * 1024;
// aiortc advertises this in its descriptions.
constexpr size_t kAiortcMaxMessageSize = 65536;

// Our side of a session with the aiortc peer script: the connection, what it produced, and the
// line protocol to the script.
class AiortcSession {
 public:
  explicit AiortcSession(const std::string& role)
      : child_(std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/python3",
                                     std::string(OMBRELIA_SOURCE_DIR) +
                                         "/tests/interop/aiortc_peer.py",
                                     "--role", role},
            ChildProcess::Settings{.captureStdout = true, .pipeStdin = true})),
        pc_(DCPeerConnection::create(test::LoopbackPeers::loopbackConfig())) {
    // The callbacks hold the shared state, never the session, which may be gone before a
    // callback already running has returned.
    auto shared = shared_;
    pc_->onLocalDescription([shared](std::string sdp) {
      std::lock_guard lock(shared->waiter.mutex());
      shared->localSdp = std::move(sdp);
      shared->waiter.notify();
    });
    pc_->onLocalCandidate([shared](std::string candidate, std::string mid) {
      std::lock_guard lock(shared->waiter.mutex());
      shared->candidates.emplace_back(std::move(candidate), std::move(mid));
      shared->waiter.notify();
    });
    pc_->onDataChannel([shared, recorder = events](std::shared_ptr<DCDataChannel> channel) mutable {
      recorder.note("announced");
      recorder.attach(channel);
      std::lock_guard lock(shared->waiter.mutex());
      shared->channel = std::move(channel);
      shared->waiter.notify();
    });
  }

  ~AiortcSession() {
    child_->writeLine(json{{"type", "bye"}}.dump());
  }

  bool started() const { return child_->started() && pc_ != nullptr; }
  DCPeerConnection& pc() { return *pc_; }

  void useLocalChannel(std::shared_ptr<DCDataChannel> channel) {
    events.attach(channel);
    std::lock_guard lock(shared_->waiter.mutex());
    shared_->channel = std::move(channel);
  }

  std::shared_ptr<DCDataChannel> channel() {
    std::lock_guard lock(shared_->waiter.mutex());
    return shared_->channel;
  }

  std::optional<std::string> localSdp(std::chrono::milliseconds timeout) {
    if (!shared_->waiter.waitFor(timeout, [&] { return shared_->localSdp.has_value(); })) {
      return std::nullopt;
    }
    std::lock_guard lock(shared_->waiter.mutex());
    return shared_->localSdp;
  }

  // The next line of the script of the given type.
  std::optional<json> expect(const std::string& type, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto line = child_->readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()));
      if (!line) return std::nullopt;
      json message = json::parse(*line, nullptr, false);
      if (!message.is_discarded() && message.value("type", "") == type) return message;
    }
    return std::nullopt;
  }

  void send(const json& message) { child_->writeLine(message.dump()); }

  void sendCandidates() {
    shared_->waiter.waitFor(2s, [&] { return !shared_->candidates.empty(); });
    std::vector<std::pair<std::string, std::string>> candidates;
    {
      std::lock_guard lock(shared_->waiter.mutex());
      candidates = shared_->candidates;
    }
    for (const auto& [candidate, mid] : candidates) {
      send({{"type", "candidate"}, {"candidate", candidate}, {"mid", mid}});
    }
  }

  ChannelRecorder events;

 private:
  struct Shared {
    test::Waiter waiter;
    std::optional<std::string> localSdp;
    std::vector<std::pair<std::string, std::string>> candidates;
    std::shared_ptr<DCDataChannel> channel;
  };
  std::unique_ptr<ChildProcess> child_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::shared_ptr<DCPeerConnection> pc_;
};

std::string textOf(const ChannelRecorder::Frame& frame) {
  const auto* text = std::get_if<std::string>(&frame);
  return text != nullptr ? *text : "<binary>";
}

// What both directions of negotiation must give: a text exchange, 256 KB echoed in segment-size
// binary frames, and a message above aiortc's limit refused with a log line.
void exchangeWithAiortc(AiortcSession& session) {
  ASSERT_TRUE(session.events.waitForEvent("open", 10s)) << "the channel to aiortc never opened";
  auto channel = session.channel();
  ASSERT_TRUE(channel);
  ASSERT_TRUE(session.events.waitForFrames(1, 5s));
  EXPECT_EQ(textOf(session.events.frames()[0]), "hello from aiortc");

  ASSERT_TRUE(channel->sendText("ping from ombrelia"));
  ASSERT_TRUE(session.events.waitForFrames(2, 5s));
  EXPECT_EQ(textOf(session.events.frames()[1]), "ping from ombrelia");

  std::vector<uint8_t> payload(kEchoedBytes);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31 + 7);
  size_t frames = 0;
  for (size_t offset = 0; offset < payload.size(); offset += kSegmentFrameBytes) {
    const size_t size = std::min(kSegmentFrameBytes, payload.size() - offset);
    ASSERT_TRUE(channel->sendBinary(Data(payload.data() + offset, size)));
    ++frames;
  }
  ASSERT_TRUE(session.events.waitForFrames(2 + frames, 20s)) << "aiortc did not echo every frame";
  std::vector<uint8_t> echoed;
  const auto received = session.events.frames();
  for (size_t i = 2; i < received.size(); ++i) {
    const Data& bytes = std::get<Data>(received[i]);
    echoed.insert(echoed.end(), bytes.bytes(), bytes.bytes() + bytes.size());
  }
  EXPECT_EQ(echoed, payload);

  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  const bool sent = channel->sendBinary(Data(std::vector<uint8_t>(kAiortcMaxMessageSize + 1, 1)));
  const std::string log = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  EXPECT_FALSE(sent);
  EXPECT_NE(log.find("bytes refused: the peer accepts at most 65536"), std::string::npos) << log;
  EXPECT_TRUE(channel->sendBinary(Data(std::vector<uint8_t>(kAiortcMaxMessageSize, 2))));
  ASSERT_TRUE(session.events.waitForFrames(2 + frames + 1, 10s));
  EXPECT_EQ(std::get<Data>(session.events.frames().back()).size(), kAiortcMaxMessageSize);
}

TEST(AiortcInteropTest, AiortcAnsweringOurOfferExchangesTextAndSegmentFrames) {
  AiortcSession session("answer");
  ASSERT_TRUE(session.started());
  session.useLocalChannel(session.pc().createDataChannel("P2P"));
  const auto offer = session.localSdp(5s);
  ASSERT_TRUE(offer);
  session.send({{"type", "offer"}, {"sdp", *offer}});
  const auto answer = session.expect("answer", 20s);
  ASSERT_TRUE(answer) << "aiortc gave no answer";
  ASSERT_TRUE(session.pc().setRemoteDescription((*answer)["sdp"].get<std::string>()));
  session.sendCandidates();
  exchangeWithAiortc(session);
}

TEST(AiortcInteropTest, AiortcOfferingToUsExchangesTextAndSegmentFrames) {
  AiortcSession session("offer");
  ASSERT_TRUE(session.started());
  const auto offer = session.expect("offer", 20s);
  ASSERT_TRUE(offer) << "aiortc gave no offer";
  ASSERT_TRUE(session.pc().setRemoteDescription((*offer)["sdp"].get<std::string>()));
  const auto answer = session.localSdp(5s);
  ASSERT_TRUE(answer);
  session.send({{"type", "answer"}, {"sdp", *answer}});
  session.sendCandidates();
  exchangeWithAiortc(session);
  const auto events = session.events.events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0], "announced");
  EXPECT_EQ(events[1], "open");
}

}  // namespace
}  // namespace ombrelia::datachannel
