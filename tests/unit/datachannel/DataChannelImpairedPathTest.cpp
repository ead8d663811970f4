// Two of our connections over a path that loses, delays and reorders SCTP packets: what one
// side sends arrives whole and in order, and channels close, as on a clean path.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "datachannel/DCPeerConnection.hpp"
#include "support/Latch.hpp"
#include "support/OpenChannels.hpp"
#include "support/SegmentDigests.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using test::ChannelRecorder;
using test::OpenChannels;
using test::SegmentDigests;

// What a channel advertises it takes, and so what other stacks send.
constexpr size_t kAdvertisedMaximum = 256 * 1024;

SctpImpairment impairment(double lossRate, uint32_t seed) {
  SctpImpairment path;
  path.lossRate = lossRate;
  path.delay = 10ms;
  path.jitter = 5ms;
  path.seed = seed;
  return path;
}

struct Message {
  bool text = false;
  std::string bytes;
};

// Sizes around where SCTP starts handing a message over in parts, up to the maximum.
std::vector<Message> messagesUpToTheMaximum() {
  const std::vector<size_t> sizes = {1,     2,      1000,   15924,  65535,  65536,
                                     65537, 100000, 131072, 200000, 262143, kAdvertisedMaximum};
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
     MessagesUpToTheAdvertisedMaximumArriveWholeAndInOrderDespiteLoss) {
  OpenChannels channels;
  ASSERT_TRUE(channels.open());
  channels.peers.offerer->impairSctpForTesting(impairment(0.03, 1));
  channels.peers.answerer->impairSctpForTesting(impairment(0.03, 2));
  const auto messages = messagesUpToTheMaximum();
  for (const auto& message : messages) {
    ASSERT_TRUE(message.text ? channels.local->sendText(message.bytes)
                             : channels.local->sendBinary(Data(message.bytes)));
  }
  // A last mark: any message past it would be the tail of one cut in two.
  ASSERT_TRUE(channels.local->sendText("end"));
  ASSERT_TRUE(channels.remoteEvents.waitForFrames(messages.size() + 1, 60s))
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

// One side opens channels one after another and sends on each as it opens; the other closes
// each as it is announced. Every close must complete on both sides: each reset request follows
// data that a reordering path delivers out of order, and may overtake it.
void expectEveryClosingChannelCloses(const SctpImpairment& offererPath,
                                     const SctpImpairment& answererPath) {
  OpenChannels channels;
  ASSERT_TRUE(channels.open());
  channels.peers.offerer->impairSctpForTesting(offererPath);
  channels.peers.answerer->impairSctpForTesting(answererPath);
  constexpr int kChannels = 64;
  auto closedRemotely = std::make_shared<test::Latch>();
  channels.peers.answerer->onDataChannel([closedRemotely](std::shared_ptr<DCDataChannel> channel) {
    channel->onClosed([closedRemotely](DCDcEvent) { closedRemotely->countDown(); });
    channel->close();
  });
  auto closedLocally = std::make_shared<test::Latch>();
  std::vector<std::shared_ptr<DCDataChannel>> opened;
  for (int i = 0; i < kChannels; ++i) {
    auto channel = channels.peers.offerer->createDataChannel("extra-" + std::to_string(i));
    ASSERT_TRUE(channel);
    channel->onClosed([closedLocally](DCDcEvent) { closedLocally->countDown(); });
    channel->onOpen([weak = std::weak_ptr<DCDataChannel>(channel)](DCDcEvent) {
      if (auto open = weak.lock()) open->sendBinary(Data(std::string(64 * 1024, 'x')));
    });
    opened.push_back(std::move(channel));
  }
  EXPECT_TRUE(closedLocally->waitFor(kChannels, 30s))
      << closedLocally->count() << " of " << kChannels << " channels closed on the opening side";
  EXPECT_TRUE(closedRemotely->waitFor(kChannels, 30s))
      << closedRemotely->count() << " of " << kChannels << " channels closed on the closing side";
  // The connection still carries the first channel's messages.
  ASSERT_TRUE(channels.local->sendText("after"));
  EXPECT_TRUE(channels.remoteEvents.waitForFrames(1, 10s));
}

TEST(DataChannelImpairedPathTest, ChannelsClosedAsTheyAreAnnouncedAllCloseOnAReorderingPath) {
  expectEveryClosingChannelCloses(impairment(0.0, 3), impairment(0.0, 4));
}

TEST(DataChannelImpairedPathTest, ChannelsClosedAsTheyAreAnnouncedAllCloseOnALossyPath) {
  expectEveryClosingChannelCloses(impairment(0.05, 5), impairment(0.05, 6));
}

}  // namespace
}  // namespace ombrelia::datachannel
