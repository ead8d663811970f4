// Two of our connections over a path that loses, delays and reorders SCTP packets: what one
// side sends arrives whole and in order, and channels close, as on a clean path.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "datachannel/DCPeerConnection.hpp"
#include "support/ChannelRecorder.hpp"
#include "support/Latch.hpp"
#include "support/OpenChannels.hpp"
#include "support/SegmentDigests.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using test::ChannelRecorder;
using test::LoopbackPeers;
using test::OpenChannels;
using test::SegmentDigests;

// What a channel advertises it takes, and so what other stacks send.
constexpr size_t kAdvertisedMaximum = 256 * 1024;
// A message of three SCTP packets, well within the congestion window.
constexpr size_t kShortMessageBytes = 3000;

SctpImpairment impairment(double lossRate, uint32_t seed) {
  SctpImpairment path;
  path.lossRate = lossRate;
  path.delay = 10ms;
  path.jitter = 5ms;
  path.overtakeRate = 0.1;
  path.seed = seed;
  return path;
}

struct Message {
  bool text = false;
  std::string bytes;
};

// Sizes around where SCTP starts handing a message over in parts, up to the maximum, each large
// one followed by a small one that can overtake a hole in it.
std::vector<Message> messagesUpToTheMaximum() {
  const std::vector<size_t> sizes = {1,     65537,  2,     100000, 1000,  131072,
                                     15924, 200000, 65535, 262143, 65536, kAdvertisedMaximum};
  std::mt19937 random(11);
  std::vector<Message> messages;
  for (int round = 0; round < 2; ++round) {
    for (const size_t size : sizes) {
      Message message;
      message.text = (messages.size() % 2) == static_cast<size_t>(round);
      message.bytes.resize(size);
      for (char& c : message.bytes) {
        c = message.text ? static_cast<char>('a' + random() % 26) : static_cast<char>(random());
      }
      messages.push_back(std::move(message));
    }
  }
  return messages;
}

TEST(DataChannelImpairedPathTest,
     MessagesUpToTheAdvertisedMaximumArriveWholeAndInOrderDespiteLossAndReordering) {
  OpenChannels channels;
  ASSERT_TRUE(channels.open());
  channels.peers.offerer->impairSctpForTesting(impairment(0.05, 1));
  channels.peers.answerer->impairSctpForTesting(impairment(0.03, 2));
  const auto messages = messagesUpToTheMaximum();
  for (const auto& message : messages) {
    ASSERT_TRUE(message.text ? channels.local->sendText(message.bytes)
                             : channels.local->sendBinary(Data(message.bytes)));
  }
  // A last mark: any message past it would be the tail of one cut in two.
  ASSERT_TRUE(channels.local->sendText("end"));
  ASSERT_TRUE(channels.remoteEvents.waitForFrames(messages.size() + 1, test::scaledWait(60s)))
      << channels.remoteEvents.frames().size() << " of " << messages.size() + 1 << " arrived";
  auto frames = channels.remoteEvents.frames();
  ASSERT_EQ(frames.size(), messages.size() + 1);
  EXPECT_EQ(std::get<std::string>(frames.back()), "end");
  for (size_t i = 0; i < messages.size(); ++i) {
    const bool text = std::holds_alternative<std::string>(frames[i]);
    const std::string bytes =
        text ? std::get<std::string>(frames[i]) : std::get<Data>(frames[i]).toString();
    EXPECT_EQ(text, messages[i].text) << "message " << i;
    EXPECT_EQ(bytes.size(), messages[i].bytes.size()) << "message " << i;
    EXPECT_EQ(SegmentDigests::of(bytes), SegmentDigests::of(messages[i].bytes))
        << "message " << i << " of " << messages[i].bytes.size() << " bytes";
  }
}

// The answerer accepts messages of at most kOwnLimit bytes but claims more, so the offerer sends
// messages it drops; SCTP hands each of those over in parts. Between the parts, small messages
// sent after it can overtake its tail on a reordering path: each must arrive whole and alone,
// and nothing of the large ones.
void expectOversizedMessagesDroppedWithoutTheirNeighbours(bool ordered) {
  constexpr size_t kOwnLimit = 4000;
  auto small = LoopbackPeers::loopbackConfig();
  small.maxMessageSize = kOwnLimit;
  OpenChannels channels(LoopbackPeers::answerClaimingMore(kOwnLimit, 25 * kOwnLimit),
                        LoopbackPeers::loopbackConfig(), small);
  ASSERT_TRUE(channels.open());
  ChannelRecorder remote;
  channels.peers.answerer->onDataChannel(
      [remote](std::shared_ptr<DCDataChannel> channel) mutable { remote.attach(channel); });
  DCDataChannelInit init;
  init.ordered = ordered;
  ChannelRecorder local;
  const auto channel = channels.peers.offerer->createDataChannel("sized", init);
  local.attach(channel);
  ASSERT_TRUE(local.waitForEvent("open", test::scaledWait(5s)) &&
              remote.waitForEvent("open", test::scaledWait(5s)));
  channels.peers.offerer->impairSctpForTesting(impairment(0.0, 5));

  constexpr int kRounds = 40;
  std::vector<std::string> sent;
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_TRUE(channel->sendBinary(Data(std::string(5 * kOwnLimit + 97 * i, 'L'))));
    sent.push_back("small " + std::to_string(i));
    ASSERT_TRUE(channel->sendText(sent.back()));
  }
  EXPECT_TRUE(remote.waitForFrames(kRounds, test::scaledWait(30s)));
  // Time for a stray tail still on its way to show.
  remote.waitForFrames(kRounds + 1, 2s);
  std::vector<std::string> received;
  for (const auto& frame : remote.frames()) {
    const auto* text = std::get_if<std::string>(&frame);
    received.push_back(text != nullptr ? *text
                                       : std::to_string(std::get<Data>(frame).size()) + " bytes");
  }
  if (!ordered) std::sort(received.begin(), received.end());
  if (!ordered) std::sort(sent.begin(), sent.end());
  EXPECT_EQ(received, sent);
}

TEST(DataChannelImpairedPathTest, OversizedOrderedMessagesAreDroppedAloneOnAReorderingPath) {
  expectOversizedMessagesDroppedWithoutTheirNeighbours(true);
}

TEST(DataChannelImpairedPathTest, OversizedUnorderedMessagesAreDroppedAloneOnAReorderingPath) {
  expectOversizedMessagesDroppedWithoutTheirNeighbours(false);
}

constexpr int kChannels = 64;

// The closes that completed on each side, counted from the channels' events.
struct Closes {
  std::shared_ptr<test::Latch> opening = std::make_shared<test::Latch>();
  std::shared_ptr<test::Latch> closing = std::make_shared<test::Latch>();

  bool waitFor(int count) {
    return opening->waitFor(count, test::scaledWait(20s)) && closing->waitFor(count, 20s);
  }
  std::string counts() const {
    return std::to_string(opening->count()) + " closed on the opening side, " +
           std::to_string(closing->count()) + " on the closing side";
  }
};

// The offerer opens kChannels extra channels at once; each closes on its side once the answerer
// has closed its end.
std::vector<std::shared_ptr<DCDataChannel>> openExtraChannels(OpenChannels& channels,
                                                              const Closes& closes) {
  std::vector<std::shared_ptr<DCDataChannel>> opened;
  for (int i = 0; i < kChannels; ++i) {
    auto channel = channels.peers.offerer->createDataChannel("extra-" + std::to_string(i));
    if (!channel) break;
    channel->onClosed([latch = closes.opening](DCDcEvent) { latch->countDown(); });
    opened.push_back(std::move(channel));
  }
  return opened;
}

// The answerer closes the extra channels a few at a time, each group right behind a short
// message on the channel it keeps, sent in a few packets at once: on a reordering path the
// reset request may overtake them, and they may overtake each other.
void expectChannelsClosedBehindDataToClose(double lossRate) {
  OpenChannels channels;
  ASSERT_TRUE(channels.open());
  Closes closes;
  auto announced = std::make_shared<std::vector<std::shared_ptr<DCDataChannel>>>();
  auto mutex = std::make_shared<std::mutex>();
  auto opens = std::make_shared<test::Latch>();
  channels.peers.answerer->onDataChannel(
      [announced, mutex, opens, latch = closes.closing](std::shared_ptr<DCDataChannel> channel) {
        channel->onOpen([opens](DCDcEvent) { opens->countDown(); });
        channel->onClosed([latch](DCDcEvent) { latch->countDown(); });
        std::lock_guard lock(*mutex);
        announced->push_back(std::move(channel));
      });
  const auto opened = openExtraChannels(channels, closes);
  ASSERT_TRUE(opens->waitFor(kChannels, test::scaledWait(10s)))
      << opens->count() << " extra channels opened";
  channels.peers.offerer->impairSctpForTesting(impairment(lossRate, 3));
  channels.peers.answerer->impairSctpForTesting(impairment(lossRate, 4));
  const auto kept = channels.remoteChannel();
  constexpr int kGroup = 4;
  for (int first = 0; first < kChannels; first += kGroup) {
    ASSERT_TRUE(kept->sendBinary(Data(std::string(kShortMessageBytes, 'k'))));
    for (int i = first; i < first + kGroup; ++i) {
      std::lock_guard lock(*mutex);
      (*announced)[i]->close();
    }
    ASSERT_TRUE(closes.waitFor(first + kGroup))
        << "channels from " << first << ": " << closes.counts();
  }
  constexpr int kMessages = kChannels / kGroup;
  EXPECT_TRUE(channels.localEvents.waitForFrames(kMessages, test::scaledWait(10s)))
      << channels.localEvents.frames().size() << " of " << kMessages << " messages arrived";
}

TEST(DataChannelImpairedPathTest, ChannelsClosedBehindDataAllCloseOnAReorderingPath) {
  expectChannelsClosedBehindDataToClose(0.0);
}

TEST(DataChannelImpairedPathTest, ChannelsClosedBehindDataAllCloseOnALossyPath) {
  expectChannelsClosedBehindDataToClose(0.05);
}

}  // namespace
}  // namespace ombrelia::datachannel
