#include <gtest/gtest.h>

#include <future>

#include "peers/DataChannelFramework.hpp"
#include "peers/WebRTCClient.hpp"
#include "peers/WebRTCConfig.hpp"
#include "store/VideoStorage.hpp"
#include "support/HeapGauge.hpp"
#include "support/Latch.hpp"
#include "support/ObservedChannelFactory.hpp"
#include "support/PeerMessageSamples.hpp"
#include "support/RecordingClientDelegate.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using test::ObservedChannelFactory;
using test::RecordingClientDelegate;

const auto kBound = test::scaledWait(10s);

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
  // The session is negotiated: a description sent again is refused, and what would follow it
  // (the candidate burst) does not run.
  bool followed = false;
  EXPECT_FALSE(offerer->setRemoteSdp(*answerer->localDescription(), [&] { followed = true; }));
  EXPECT_FALSE(followed);

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

  // Each frame arrives byte for byte and in order; what a frame holds is the store's own test.
  const auto received = offererEvents->events().data;
  ASSERT_EQ(received.size(), frames.size());
  for (size_t i = 0; i < received.size(); ++i) EXPECT_EQ(received[i], frames[i]) << "frame " << i;

  const auto sent = answererEvents->events().sent;
  EXPECT_EQ(sent.size(), frames.size());
  int64_t reported = 0;
  for (auto size : sent) reported += size;
  EXPECT_EQ(reported, frameBytes);
  EXPECT_TRUE(offererEvents->events().sent.empty()) << "text frames are not reported";
}

TEST_F(WebRTCClientLoopbackTest, PeerOpeningExtraChannelsCannotTakeOverTheExchange) {
  negotiate();
  if (HasFatalFailure()) return;
  // The answering peer, acting on its connection behind the client, opens channels of its
  // own beside "P2P", sends on them and closes them again.
  auto rogue = factory->inner(1);
  ASSERT_TRUE(rogue);
  test::HeapGauge heap;
  constexpr int kChannels = 64;
  // Each extra channel is refused, so it closes, and what is sent on it goes nowhere. The
  // refusal is only a few packets away: the channels are made on the peer's own callback queue,
  // where their events run too, so their callbacks are in place before any event can come.
  auto closed = std::make_shared<test::Latch>();
  std::vector<std::shared_ptr<RTCDataChannel>> extra;
  std::promise<void> made;
  answererEvents->onText = [&](WebRTCClient&, const std::string& text) {
    if (text != "open extra channels") return;
    for (int i = 0; i < kChannels; ++i) {
      auto channel = rogue->createDataChannel(i % 2 == 0 ? "junk" : WebRTCClient::kChannelLabel);
      if (!channel) break;
      channel->onClosed([closed] { closed->countDown(); });
      channel->onOpen([channel = std::weak_ptr<RTCDataChannel>(channel)] {
        if (auto open = channel.lock()) open->sendText(std::string(64 * 1024, 'j'));
      });
      extra.push_back(channel);
    }
    made.set_value();
  };
  offerer->sendData(Data(std::string("open extra channels")), false);
  ASSERT_EQ(made.get_future().wait_for(kBound), std::future_status::ready);
  answererEvents->onText = nullptr;
  ASSERT_EQ(extra.size(), static_cast<size_t>(kChannels));
  ASSERT_TRUE(closed->waitFor(kChannels, 3 * kBound))
      << closed->count() << " of " << kChannels << " extra channels closed";
  EXPECT_LT(heap.peakGrowth(), size_t{32} << 20) << "peak heap growth " << heap.peakGrowth();

  EXPECT_TRUE(offerer->isConnected()) << "an extra channel closing disconnected the client";
  const auto before = answererEvents->events().texts.size();
  const auto sent = test::PeerMessageSamples::sendEveryKind(*offerer);
  ASSERT_TRUE(answererEvents->waitFor(kBound, [&](const auto& e) {
    return e.texts.size() >= before + sent.size();
  })) << "the offerer's messages no longer reach the exchange's channel";
  EXPECT_TRUE(offererEvents->events().texts.empty()) << "extra channels' texts were delivered";
}

}  // namespace
}  // namespace ombrelia
