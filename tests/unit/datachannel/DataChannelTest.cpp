#include <gtest/gtest.h>

#include <ombrelia/OLoggerConfig.hpp>
#include <regex>
#include <thread>

#include "datachannel/DCPeerConnection.hpp"
#include "support/ChannelRecorder.hpp"
#include "support/LoopbackPeers.hpp"
#include "support/OpenChannels.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using test::ChannelRecorder;
using test::LoopbackPeers;
using test::OpenChannels;

constexpr size_t kSegmentFrameBytes = 15924;

Data patterned(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return Data(std::move(bytes));
}

TEST(DataChannelTest, BothSidesOpenAndTheRemoteChannelIsAnnouncedBeforeItsOpenEvent) {
  OpenChannels channels;
  ASSERT_TRUE(channels.open());
  EXPECT_EQ(channels.remoteEvents.events(), (std::vector<std::string>{"announced", "open"}));
  auto remote = channels.remoteChannel();
  ASSERT_TRUE(remote);
  EXPECT_EQ(remote->label(), "P2P");
  EXPECT_TRUE(remote->options().ordered);
  EXPECT_FALSE(remote->options().maxRetransmits.has_value());
  // The offerer answers "active" offers with DTLS server: its streams are odd, the same stream
  // serving both directions.
  ASSERT_TRUE(channels.local->id());
  EXPECT_EQ(*channels.local->id() % 2, 1);
  EXPECT_EQ(remote->id(), channels.local->id());
  EXPECT_TRUE(channels.local->isOpen());
  EXPECT_EQ(channels.peers.offerer->state(), DCIceState::connected);
}

// A channel made on a connection already up opens one round trip later; a caller whose thread
// waits for a core between making it and setting its callbacks (a loaded machine) sets them
// after the open. It is still told, and once.
TEST(DataChannelTest, CallbacksSetOnlyAfterTheChannelOpenedAreToldOfItOnce) {
  OpenChannels channels;
  ASSERT_TRUE(channels.open());
  const auto late = channels.peers.offerer->createDataChannel("late");
  ASSERT_TRUE(late);
  const auto until = std::chrono::steady_clock::now() + test::scaledWait(5s);
  while (!late->isOpen() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(1ms);  // the open this test must miss offers no event
  }
  ASSERT_TRUE(late->isOpen());
  ChannelRecorder events;
  events.attach(late);
  ASSERT_TRUE(events.waitForEvent("open", test::scaledWait(5s))) << "the open was never told";
  // Set again, the callback is not told again.
  events.attach(late);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(events.events(), std::vector<std::string>{"open"});
}

TEST(DataChannelTest, AThousandMixedTextAndBinaryFramesArriveInOrderAndKind) {
  OpenChannels channels;
  ASSERT_TRUE(channels.open());
  constexpr int kFrames = 1000;
  for (int i = 0; i < kFrames; ++i) {
    if (i % 2 == 0) {
      ASSERT_TRUE(channels.local->sendText("{\"n\":" + std::to_string(i) + "}"));
    } else {
      ASSERT_TRUE(channels.local->sendBinary(patterned(100 + i, static_cast<uint8_t>(i))));
    }
  }
  ASSERT_TRUE(channels.remoteEvents.waitForFrames(kFrames, test::scaledWait(10s)));
  const auto frames = channels.remoteEvents.frames();
  ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    if (i % 2 == 0) {
      ASSERT_TRUE(std::holds_alternative<std::string>(frames[i])) << "frame " << i;
      EXPECT_EQ(std::get<std::string>(frames[i]), "{\"n\":" + std::to_string(i) + "}");
    } else {
      ASSERT_TRUE(std::holds_alternative<Data>(frames[i])) << "frame " << i;
      EXPECT_EQ(std::get<Data>(frames[i]), patterned(100 + i, static_cast<uint8_t>(i)));
    }
  }
}

TEST(DataChannelTest, ASegmentOf130FullFramesSentBackToBackArrivesIntact) {
  OpenChannels channels;
  ASSERT_TRUE(channels.open());
  constexpr int kFrames = 130;
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_TRUE(channels.local->sendBinary(patterned(kSegmentFrameBytes, static_cast<uint8_t>(i))))
        << "frame " << i << " was refused";
  }
  ASSERT_TRUE(channels.remoteEvents.waitForFrames(kFrames, test::scaledWait(20s)));
  const auto frames = channels.remoteEvents.frames();
  for (int i = 0; i < kFrames; ++i) {
    EXPECT_EQ(std::get<Data>(frames[i]), patterned(kSegmentFrameBytes, static_cast<uint8_t>(i)))
        << "frame " << i;
  }
}

TEST(DataChannelTest, FramesLostOnTheWayAreSentAgainUntilEveryOneArrivesInOrder) {
  OpenChannels channels;
  ASSERT_TRUE(channels.open());
  // Losses in the middle of a burst are repaired by the later packets' acknowledgements; the
  // loss of the burst's tail only by the retransmission timer, which must keep running.
  channels.peers.offerer->loseSctpPacketsForTesting(9);
  channels.peers.answerer->loseSctpPacketsForTesting(5);
  constexpr int kFrames = 24;
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_TRUE(channels.local->sendBinary(patterned(kSegmentFrameBytes, static_cast<uint8_t>(i))));
  }
  ASSERT_TRUE(channels.remoteEvents.waitForFrames(kFrames, test::scaledWait(30s)))
      << channels.remoteEvents.frames().size() << " of " << kFrames << " frames arrived";
  const auto frames = channels.remoteEvents.frames();
  for (int i = 0; i < kFrames; ++i) {
    EXPECT_EQ(std::get<Data>(frames[i]), patterned(kSegmentFrameBytes, static_cast<uint8_t>(i)))
        << "frame " << i;
  }
}

TEST(DataChannelTest, SendingIntoAStalledPeerBuffersUpToTheBoundThenRefusesWithALogLine) {
  OpenChannels channels;
  ASSERT_TRUE(channels.open());
  // Nothing acknowledges any more, so SCTP pushes back and the framework's own buffer fills.
  channels.peers.answerer->abandonForTesting();
  const Data frame = patterned(kSegmentFrameBytes, 9);
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  int accepted = 0;
  while (accepted < 5000 && channels.local->sendBinary(frame)) ++accepted;
  const std::string log = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  // Far more than SCTP's own buffer holds is accepted (a few segments' worth) before refusal.
  EXPECT_GT(accepted, 500);
  EXPECT_LT(accepted, 5000) << "the send buffer has no bound";
  EXPECT_GT(channels.local->bufferedAmount(), 8u * 1024 * 1024);
  EXPECT_NE(log.find("refused: the send buffer is full"), std::string::npos) << log;
}

TEST(DataChannelTest, EmptyMessagesKeepTheirKind) {
  OpenChannels channels;
  ASSERT_TRUE(channels.open());
  ASSERT_TRUE(channels.local->sendText(""));
  ASSERT_TRUE(channels.local->sendBinary(Data()));
  ASSERT_TRUE(channels.local->sendText("after"));
  ASSERT_TRUE(channels.remoteEvents.waitForFrames(3, test::scaledWait(5s)));
  const auto frames = channels.remoteEvents.frames();
  EXPECT_EQ(std::get<std::string>(frames[0]), "");
  EXPECT_TRUE(std::get<Data>(frames[1]).empty());
  EXPECT_EQ(std::get<std::string>(frames[2]), "after");
}

TEST(DataChannelTest, MessagesAboveThePeersLimitAreRefusedAndTheDefaultLimitApplies) {
  auto small = LoopbackPeers::loopbackConfig();
  small.maxMessageSize = 1000;
  OpenChannels limited(LoopbackPeers::Options{}, LoopbackPeers::loopbackConfig(), small);
  ASSERT_TRUE(limited.open());
  EXPECT_FALSE(limited.local->sendBinary(patterned(1001, 1)));
  EXPECT_TRUE(limited.local->sendBinary(patterned(1000, 2)));

  // A description without max-message-size means 65,536 bytes.
  LoopbackPeers::Options silent;
  silent.tamperAnswer = [](std::string sdp) {
    return std::regex_replace(sdp, std::regex("a=max-message-size:[0-9]+\r\n"), "");
  };
  OpenChannels unstated(silent);
  ASSERT_TRUE(unstated.open());
  EXPECT_FALSE(unstated.local->sendBinary(patterned(65537, 3)));
  EXPECT_TRUE(unstated.local->sendBinary(patterned(65536, 4)));
  ASSERT_TRUE(unstated.remoteEvents.waitForFrames(1, test::scaledWait(5s)));
  EXPECT_EQ(std::get<Data>(unstated.remoteEvents.frames()[0]).size(), 65536u);
}

TEST(DataChannelTest, ReceivedMessageAboveOwnLimitIsDroppedAndTheChannelGoesOn) {
  auto small = LoopbackPeers::loopbackConfig();
  small.maxMessageSize = 4000;
  // The answerer's description claims more than it accepts, so the offerer sends too much.
  OpenChannels channels(LoopbackPeers::answerClaimingMore(4000, 100000),
                        LoopbackPeers::loopbackConfig(), small);
  ASSERT_TRUE(channels.open());
  ASSERT_TRUE(channels.local->sendBinary(patterned(20000, 1)));
  ASSERT_TRUE(channels.local->sendText("small"));
  ASSERT_TRUE(channels.remoteEvents.waitForFrames(1, test::scaledWait(5s)));
  const auto frames = channels.remoteEvents.frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(std::get<std::string>(frames[0]), "small");
}

TEST(DataChannelTest, RemoteClosingChannelAndConnectionIsReported) {
  OpenChannels channels;
  ASSERT_TRUE(channels.open());
  channels.remoteChannel()->close();
  ASSERT_TRUE(channels.localEvents.waitForEvent("closed", test::scaledWait(5s)));
  EXPECT_TRUE(channels.remoteEvents.waitForEvent("closed", test::scaledWait(5s)));
  EXPECT_FALSE(channels.local->sendText("too late"));
  channels.peers.answerer->close();
  ASSERT_TRUE(channels.peers.waiter().waitFor(test::scaledWait(5s), [&] {
    return channels.peers.offerer->state() == DCIceState::closed ||
           channels.peers.offerer->state() == DCIceState::disconnected;
  }));
}

TEST(DataChannelTest, ConnectionDroppedInsideItsOwnMessageCallbackIsClean) {
  LoopbackPeers peers;
  auto holder = std::make_shared<std::shared_ptr<DCPeerConnection>>(peers.answerer);
  std::weak_ptr<DCPeerConnection> weak = peers.answerer;
  peers.answerer.reset();
  test::Waiter& waiter = peers.waiter();
  bool dropped = false;
  (*holder)->onDataChannel([holder, &waiter, &dropped](std::shared_ptr<DCDataChannel> channel) {
    std::weak_ptr<DCDataChannel> weakChannel = channel;
    channel->onMessage(
        [holder, &waiter, &dropped](std::string) {
          holder->reset();  // the last owner lets go from inside the connection's callback
          std::lock_guard lock(waiter.mutex());
          dropped = true;
          waiter.notify();
        },
        [](Data) {});
  });
  auto local = peers.offerer->createDataChannel("P2P");
  ChannelRecorder localEvents;
  localEvents.attach(local);
  ASSERT_TRUE(localEvents.waitForEvent("open", test::scaledWait(5s)));
  for (int i = 0; i < 50; ++i) local->sendText("hello");
  ASSERT_TRUE(waiter.waitFor(test::scaledWait(5s), [&] { return dropped; }));
  EXPECT_TRUE(waiter.waitFor(test::scaledWait(2s), [&] { return weak.expired(); }));
  EXPECT_TRUE(localEvents.waitForEvent("closed", test::scaledWait(5s)));
}

}  // namespace
}  // namespace ombrelia::datachannel
