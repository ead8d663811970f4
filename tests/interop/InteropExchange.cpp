#include "InteropExchange.hpp"
#include "support/WaitScale.hpp"

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

// How long the other side may take to report its state once the echo has stalled.
constexpr auto kStatsBound = std::chrono::seconds(10);

// How long a stalled association is watched for retransmissions: longer than our largest
// retransmission timeout (3 s), so a running retransmission timer fires at least once in it.
constexpr auto kRetransmissionWatch = std::chrono::seconds(4);

std::string textOf(const ChannelRecorder::Frame& frame) {
  const auto* text = std::get_if<std::string>(&frame);
  return text != nullptr ? *text : "<binary>";
}

// Where the frames are that have not come back, from both sides' counts: ours from the SCTP
// association (`before` taken just before the frames were sent), the other side's from its
// answer to {"type": "stats"}.
std::string explainStall(test::InteropSession& session, const std::optional<SctpStatus>& before,
                         size_t framesSent, size_t framesBack) {
  const auto stalled = session.pc().sctpStatusForTesting();
  const auto stalledAt = std::chrono::steady_clock::now();
  session.send({{"type", "stats"}});
  const auto theirs = session.expect("stats", kStatsBound);
  const auto now = session.pc().sctpStatusForTesting();
  std::string text = "\nour connection's states: " + session.connectionStates() +
                     "\nour association: " + (now ? now->describe() : "gone");
  text += "\nthe other side: " + (theirs ? theirs->dump() : "no answer within the bound");
  if (!now && session.pc().state() == DCIceState::failed) {
    text +=
        "\nverdict: our connection ended itself as failed; its error line above says why. One "
        "that names a stuck association means usrsctp forgot chunks marked for fast "
        "retransmission: not a slow path";
  }
  if (!now || !before) return text;
  const uint64_t taken = now->messagesSent - before->messagesSent;
  const uint64_t received = now->messagesReceived - before->messagesReceived;
  const auto count = [&](const char* key) -> std::optional<uint64_t> {
    if (!theirs || !theirs->contains(key) || !(*theirs)[key].is_number_unsigned()) return {};
    return (*theirs)[key].get<uint64_t>();
  };
  const auto reached = count("binaryReceived");
  const auto echoed = count("binaryEchoed");
  const auto n = [](uint64_t value) { return std::to_string(value); };
  text += "\nwhere the missing frames are: ";
  if (taken < framesSent) {
    text += n(framesSent - taken) + " never left our queue for SCTP";
  } else if (reached && *reached < framesSent) {
    text += n(framesSent - *reached) + " taken by our SCTP never reached the other side's " +
            "channel (" + n(now->unacknowledgedChunks) + " chunks unacknowledged here)";
  } else if (reached && echoed && *echoed < *reached) {
    text += n(*reached - *echoed) + " reached the other side, which has not echoed them";
  } else if (echoed && received < *echoed) {
    text += n(*echoed - received) + " echoed by the other side never reached our SCTP";
  } else if (received > framesBack) {
    text += n(received - framesBack) + " received by our SCTP never reached the channel (" +
            n(now->messagesAwaitingDelivery) + " awaiting delivery)";
  } else if (!echoed) {
    text += n(received) + " of " + n(taken) + " came back to our SCTP";
  } else {
    text += "nowhere: every count agrees";
  }
  if (!stalled || now->unacknowledgedChunks == 0) return text;
  // Whatever the other side lost, our SCTP must send it again once its retransmission timeout
  // passes. A timer that does not fire leaves the association stuck for good.
  session.events.waitForFrames(2 + framesSent, kRetransmissionWatch);
  const auto later = session.pc().sctpStatusForTesting();
  if (!later) return text;
  const auto watched = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - stalledAt);
  text += "\nchunks our SCTP retransmitted in the last " + n(watched.count()) + " ms, with " +
          n(later->unacknowledgedChunks) +
          " unacknowledged: " + n(later->retransmittedChunks - stalled->retransmittedChunks) +
          " (" + n(later->dataTimeouts - stalled->dataTimeouts) + " retransmission timeouts; rto " +
          n(later->retransmissionTimeoutMs) + " ms)";
  // Seen with usrsctp 0.9.5 against a browser losing long runs of packets: usrsctp resends at
  // most four packets of lost chunks per acknowledgement and marks the rest; a retransmission
  // timeout firing meanwhile recounts the marked chunks but skips those last sent within its
  // round-trip estimate, and nothing resends those again. Lifting that limit made the browser
  // end the association instead. Our connection ends such an association some 10 s into the
  // stall (SctpStallWatch): one still up here went unnoticed by that watch.
  if (later->retransmittedChunks == stalled->retransmittedChunks &&
      later->unacknowledgedChunks == stalled->unacknowledgedChunks) {
    text +=
        "\nverdict: our association is stuck: usrsctp holds data the other side has not "
        "acknowledged and no longer retransmits it (its retransmission timeout forgot chunks "
        "marked for fast retransmission), not a slow path";
  }
  return text;
}

}  // namespace

void InteropExchange::run(test::InteropSession& session, bool greetingFollowsFirstMessage) const {
  // Our stack's errors, such as a connection it ended, then show in a failed test's output.
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  ASSERT_TRUE(session.events.waitForEvent("open", test::scaledWait(10s)))
      << "the channel never opened; the other side said: " << session.errors();
  auto channel = session.channel();
  ASSERT_TRUE(channel);
  if (greetingFollowsFirstMessage) {
    ASSERT_TRUE(channel->sendText("ping from ombrelia"));
  }
  ASSERT_TRUE(session.events.waitForFrames(1, test::scaledWait(20s)))
      << "no greeting; the other side said:\n"
      << session.transcript();
  EXPECT_EQ(textOf(session.events.frames()[0]), greeting);

  if (!greetingFollowsFirstMessage) {
    ASSERT_TRUE(channel->sendText("ping from ombrelia"));
  }
  ASSERT_TRUE(session.events.waitForFrames(2, test::scaledWait(20s)));
  EXPECT_EQ(textOf(session.events.frames()[1]), "ping from ombrelia");

  const auto before = session.pc().sctpStatusForTesting();
  std::vector<uint8_t> payload(echoedBytes);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31 + 7);
  size_t frames = 0;
  for (size_t offset = 0; offset < payload.size(); offset += kSegmentFrameBytes) {
    const size_t size = std::min(kSegmentFrameBytes, payload.size() - offset);
    ASSERT_TRUE(channel->sendBinary(Data(payload.data() + offset, size)));
    ++frames;
  }
  if (!session.events.waitForFrames(2 + frames, kEchoBound)) {
    const size_t back = session.events.frames().size() - 2;
    FAIL() << "not every frame came back: " << back << " of " << frames << ", "
           << channel->bufferedAmount() << " bytes still waiting to leave"
           << explainStall(session, before, frames, back) << "\nthe other side said:\n"
           << session.transcript();
  }
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
  testing::internal::CaptureStdout();
  const bool sent = channel->sendBinary(Data(std::vector<uint8_t>(peerMaxMessageSize + 1, 1)));
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(sent);
  EXPECT_NE(
      log.find("bytes refused: the peer accepts at most " + std::to_string(peerMaxMessageSize)),
      std::string::npos)
      << log;
  EXPECT_TRUE(channel->sendBinary(Data(std::vector<uint8_t>(peerMaxMessageSize, 2))));
  ASSERT_TRUE(session.events.waitForFrames(2 + frames + 1, test::scaledWait(10s)));
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
