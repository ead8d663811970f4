#include "InteropExchange.hpp"

#include <gtest/gtest.h>

#include <ombrelia/OLoggerConfig.hpp>
#include <vector>

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using test::ChannelRecorder;

// The frame size the peer protocol cuts segments into: 15,900 bytes of payload and its header.
constexpr size_t kSegmentFrameBytes = 15924;

// A megabyte takes a second or two on loopback. On a two-core machine busy with other tests, a
// sanitized build can read its socket too late: the kernel drops datagrams, and the other stack's
// retransmission timer backs off. One such run took over 20 s.
constexpr auto kEchoBound = std::chrono::seconds(60);

std::string textOf(const ChannelRecorder::Frame& frame) {
  const auto* text = std::get_if<std::string>(&frame);
  return text != nullptr ? *text : "<binary>";
}

}  // namespace

void InteropExchange::run(test::InteropSession& session, bool greetingFollowsFirstMessage) const {
  ASSERT_TRUE(session.events.waitForEvent("open", 10s))
      << "the channel never opened; the other side said: " << session.errors();
  auto channel = session.channel();
  ASSERT_TRUE(channel);
  if (greetingFollowsFirstMessage) {
    ASSERT_TRUE(channel->sendText("ping from ombrelia"));
  }
  ASSERT_TRUE(session.events.waitForFrames(1, 20s)) << "no greeting; the other side said:\n"
                                                    << session.transcript();
  EXPECT_EQ(textOf(session.events.frames()[0]), greeting);

  if (!greetingFollowsFirstMessage) {
    ASSERT_TRUE(channel->sendText("ping from ombrelia"));
  }
  ASSERT_TRUE(session.events.waitForFrames(2, 20s));
  EXPECT_EQ(textOf(session.events.frames()[1]), "ping from ombrelia");

  std::vector<uint8_t> payload(echoedBytes);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31 + 7);
  size_t frames = 0;
  for (size_t offset = 0; offset < payload.size(); offset += kSegmentFrameBytes) {
    const size_t size = std::min(kSegmentFrameBytes, payload.size() - offset);
    ASSERT_TRUE(channel->sendBinary(Data(payload.data() + offset, size)));
    ++frames;
  }
  ASSERT_TRUE(session.events.waitForFrames(2 + frames, kEchoBound))
      << "not every frame came back: " << session.events.frames().size() - 2 << " of " << frames
      << ", " << channel->bufferedAmount()
      << " bytes still waiting to leave; the other side said:\n"
      << session.transcript();
  std::vector<uint8_t> echoed;
  const auto received = session.events.frames();
  for (size_t i = 2; i < received.size(); ++i) {
    const auto* bytes = std::get_if<Data>(&received[i]);
    ASSERT_NE(bytes, nullptr) << "frame " << i << " came back as text";
    EXPECT_EQ(bytes->size(), std::min(kSegmentFrameBytes, echoedBytes - echoed.size()));
    echoed.insert(echoed.end(), bytes->bytes(), bytes->bytes() + bytes->size());
  }
  EXPECT_EQ(echoed, payload);

  if (peerMaxMessageSize == 0) return;
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  const bool sent = channel->sendBinary(Data(std::vector<uint8_t>(peerMaxMessageSize + 1, 1)));
  const std::string log = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  EXPECT_FALSE(sent);
  EXPECT_NE(
      log.find("bytes refused: the peer accepts at most " + std::to_string(peerMaxMessageSize)),
      std::string::npos)
      << log;
  EXPECT_TRUE(channel->sendBinary(Data(std::vector<uint8_t>(peerMaxMessageSize, 2))));
  ASSERT_TRUE(session.events.waitForFrames(2 + frames + 1, 10s));
  EXPECT_EQ(std::get<Data>(session.events.frames().back()).size(), peerMaxMessageSize);
}

void negotiateAsOfferer(test::InteropSession& session, const std::string& stack) {
  session.useLocalChannel(session.pc().createDataChannel("P2P"));
  const auto offer = session.localSdp(5s);
  ASSERT_TRUE(offer);
  ASSERT_TRUE(session.send({{"type", "offer"}, {"sdp", *offer}}));
  const auto answer = session.expect("answer", 20s);
  ASSERT_TRUE(answer) << stack << " gave no answer; it said: " << session.errors();
  ASSERT_TRUE(session.pc().setRemoteDescription((*answer)["sdp"].get<std::string>()))
      << (*answer)["sdp"].get<std::string>();
  session.sendCandidates();
}

void negotiateAsAnswerer(test::InteropSession& session, const std::string& stack) {
  // The other stack's offer comes once it has started, which for a browser includes loading
  // its page: see kStartBound.
  const auto offer = session.expect("offer", test::InteropSession::kStartBound);
  ASSERT_TRUE(offer) << stack << " gave no offer; it said: " << session.errors();
  ASSERT_TRUE(session.pc().setRemoteDescription((*offer)["sdp"].get<std::string>()))
      << (*offer)["sdp"].get<std::string>();
  const auto answer = session.localSdp(5s);
  ASSERT_TRUE(answer);
  ASSERT_TRUE(session.send({{"type", "answer"}, {"sdp", *answer}}));
  session.sendCandidates();
}

void expectChannelAnnouncedBeforeOpen(test::InteropSession& session) {
  const auto events = session.events.events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0], "announced");
  EXPECT_EQ(events[1], "open");
}

}  // namespace ombrelia::datachannel
