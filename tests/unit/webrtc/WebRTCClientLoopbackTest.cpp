#include <gtest/gtest.h>

#include <future>

#include "proxy/VideoStorage.hpp"
#include "support/Latch.hpp"
#include "support/ObservedChannelFactory.hpp"
#include "support/PeerMessageSamples.hpp"
#include "support/RecordingClientDelegate.hpp"
#include "webrtc/DataChannelFramework.hpp"
#include "webrtc/WebRTCClient.hpp"
#include "webrtc/WebRTCConfig.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using test::ObservedChannelFactory;
using test::RecordingClientDelegate;

constexpr auto kBound = 10s;

// The real framework, bound to loopback without STUN servers.
class WebRTCClientLoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    offerer = WebRTCClient::create(WebRTCConfig::defaultConfig().webRTCIceServers, *factory);
    answerer = WebRTCClient::create(WebRTCConfig::defaultConfig().webRTCIceServers, *factory);
    ASSERT_TRUE(offerer && answerer);
    // Candidates gathered after a side's burst are passed on one by one, as the negotiation
    // sends late candidates.
    std::weak_ptr<WebRTCClient> toAnswerer = answerer;
    std::weak_ptr<WebRTCClient> toOfferer = offerer;
    offererEvents->onCandidate = [toAnswerer](WebRTCClient&, const LocalCandidate& candidate) {
      if (auto peer = toAnswerer.lock(); peer && candidate.afterBurst) {
        peer->setRemoteCandidate(candidate.candidate, candidate.mid, nullptr);
      }
    };
    answererEvents->onCandidate = [toOfferer](WebRTCClient&, const LocalCandidate& candidate) {
      if (auto peer = toOfferer.lock(); peer && candidate.afterBurst) {
        peer->setRemoteCandidate(candidate.candidate, candidate.mid, nullptr);
      }
    };
    offerer->setDelegate(offererEvents);
    answerer->setDelegate(answererEvents);
  }

  // Offer, answer and candidates handed over directly, in the order the signalling relays them.
  void negotiate() {
    std::promise<SessionDescription> offered;
    offerer->offer([&](const SessionDescription& offer) { offered.set_value(offer); });
    auto offer = offered.get_future();
    ASSERT_EQ(offer.wait_for(kBound), std::future_status::ready) << "no offer";
    const auto offerSdp = offer.get();
    ASSERT_EQ(offerSdp.type, SdpType::offer);

    answerer->setRemoteSdp(offerSdp.sdp, nullptr);
    std::promise<SessionDescription> answered;
    answerer->answer([&](const SessionDescription& answer) { answered.set_value(answer); });
    auto answer = answered.get_future();
    ASSERT_EQ(answer.wait_for(kBound), std::future_status::ready) << "no answer";
    const auto answerSdp = answer.get();
    ASSERT_EQ(answerSdp.type, SdpType::answer);

    offerer->setRemoteSdp(answerSdp.sdp, nullptr);
    for (const auto& candidate : offerer->markBurstSent()) {
      answerer->setRemoteCandidate(candidate.candidate, candidate.mid, nullptr);
    }
    for (const auto& candidate : answerer->markBurstSent()) {
      offerer->setRemoteCandidate(candidate.candidate, candidate.mid, nullptr);
    }
    ASSERT_TRUE(factory->waitForOpenChannels(2, kBound)) << "the channel \"P2P\" did not open";
  }

  std::shared_ptr<ObservedChannelFactory> factory = std::make_shared<ObservedChannelFactory>(
      std::make_shared<DataChannelFramework>(DataChannelFramework::loopbackSettings()));
  std::shared_ptr<RecordingClientDelegate> offererEvents =
      std::make_shared<RecordingClientDelegate>();
  std::shared_ptr<RecordingClientDelegate> answererEvents =
      std::make_shared<RecordingClientDelegate>();
  std::shared_ptr<WebRTCClient> offerer;
  std::shared_ptr<WebRTCClient> answerer;
};

TEST_F(WebRTCClientLoopbackTest, HandNegotiatedClientsExchangeEveryMessageAndASegmentsChunks) {
  negotiate();
  if (HasFatalFailure()) return;
  EXPECT_TRUE(offerer->isConnected());
  EXPECT_TRUE(answerer->isConnected());

  // Every typed message, each way: the offerer on its own channel, the answerer on the one the
  // offerer opened.
  const auto fromOfferer = test::PeerMessageSamples::sendEveryKind(*offerer);
  const auto fromAnswerer = test::PeerMessageSamples::sendEveryKind(*answerer);
  ASSERT_TRUE(answererEvents->waitFor(
      kBound, [&](const auto& e) { return e.texts.size() >= fromOfferer.size(); }));
  ASSERT_TRUE(offererEvents->waitFor(
      kBound, [&](const auto& e) { return e.texts.size() >= fromAnswerer.size(); }));
  EXPECT_EQ(answererEvents->events().texts, fromOfferer);
  EXPECT_EQ(offererEvents->events().texts, fromAnswerer);

  // A segment as the store cuts it for an upload, from the answering side.
  std::vector<uint8_t> bytes(100000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
  const Data segment(bytes);
  const VideoStorage::Uuid requestID{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const auto frames = VideoStorage::shared()->getChunksFor(segment, requestID);
  ASSERT_EQ(frames.size(), 7u);
  int64_t frameBytes = 0;
  for (const auto& frame : frames) {
    answerer->sendFileChunkData(frame);
    frameBytes += static_cast<int64_t>(frame.size());
  }
  ASSERT_TRUE(offererEvents->waitFor(
      kBound, [&](const auto& e) { return e.data.size() >= frames.size(); }));

  const auto received = offererEvents->events().data;
  ASSERT_EQ(received.size(), frames.size());
  std::vector<uint8_t> assembled(bytes.size());
  for (size_t i = 0; i < received.size(); ++i) {
    EXPECT_EQ(received[i], frames[i]) << "frame " << i;
    const uint8_t* frame = received[i].bytes();
    ASSERT_GE(received[i].size(), VideoStorage::kChunkHeaderBytes);
    EXPECT_TRUE(std::equal(requestID.begin(), requestID.end(), frame));
    uint64_t offset = 0;
    for (int b = 16; b < 24; ++b) offset = (offset << 8) | frame[b];
    const size_t payload = received[i].size() - VideoStorage::kChunkHeaderBytes;
    ASSERT_LE(offset + payload, assembled.size());
    std::copy(frame + 24, frame + 24 + payload, assembled.begin() + static_cast<long>(offset));
  }
  EXPECT_EQ(assembled, bytes);

  const auto sent = answererEvents->events().sent;
  EXPECT_EQ(sent.size(), frames.size());
  int64_t reported = 0;
  for (auto size : sent) reported += size;
  EXPECT_EQ(reported, frameBytes);
  EXPECT_TRUE(offererEvents->events().sent.empty()) << "text frames are not reported";
}

TEST_F(WebRTCClientLoopbackTest, ClosingOneSideEndsTheOtherWhichMayDropItsClientInTheCallback) {
  // As the negotiation does on a lost connection: close the client and drop the last reference
  // to it, from inside the framework's own state callback.
  auto holder = std::make_shared<std::shared_ptr<WebRTCClient>>(offerer);
  auto dropped = std::make_shared<test::Latch>();
  offererEvents->onState = [holder, dropped](WebRTCClient& client, datachannel::DCIceState state) {
    if (!datachannel::isLost(state)) return;
    client.close();
    holder->reset();
    dropped->countDown();
  };
  negotiate();
  if (HasFatalFailure()) return;
  offerer.reset();

  answerer->close();
  EXPECT_FALSE(answerer->isConnected());
  ASSERT_TRUE(dropped->waitFor(1, kBound)) << "the offerer never learnt that its peer closed";
  EXPECT_EQ(dropped->count(), 1) << "a closed client reports nothing more";
}

}  // namespace
}  // namespace ombrelia
