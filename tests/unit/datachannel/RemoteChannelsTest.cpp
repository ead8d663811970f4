// Channels the peer opens on a connection that bounds them, as the WebRTC client's connections
// do: the connection keeps no more than it allows and of no other label, refuses the rest as
// they come without announcing them, and forgets a channel of the peer's once it is closed here,
// whether or not the peer ever answers the reset. The peer here opens its channels straight on
// the association, as a peer that ignores resets would, and never resets a stream in answer.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "datachannel/DcepMessage.hpp"
#include "support/ChannelRecorder.hpp"
#include "support/OpenChannels.hpp"
#include "support/SctpWireLog.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using test::ChannelRecorder;
using test::LoopbackPeers;
using test::OpenChannels;

constexpr size_t kMaxRemoteChannels = 2;

DCConfiguration bounded() {
  auto config = LoopbackPeers::loopbackConfig();
  config.maxRemoteChannels = kMaxRemoteChannels;
  config.remoteChannelLabels = std::vector<std::string>{"P2P"};
  return config;
}

class RemoteChannels : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(channels.open()) << "the channel \"P2P\" did not open";
    // After the "P2P" channel, whose announcement OpenChannels records.
    channels.peers.answerer->onDataChannel(
        [announced = announced_](std::shared_ptr<DCDataChannel> channel) {
          ChannelRecorder recorder;
          recorder.attach(channel);
          std::lock_guard lock(announced->mutex);
          announced->channels.push_back({channel, recorder});
        });
  }

  // The i-th stream of the offerer's own after its "P2P" one.
  uint16_t stream(int i) { return static_cast<uint16_t>(*channels.local->id() + 2 * (i + 1)); }

  bool open(int i, const std::string& label, size_t protocolBytes = 0) {
    DcepMessage message;
    message.label = label;
    message.protocol.assign(protocolBytes, 'p');
    return channels.peers.offerer->sendRawForTesting(stream(i), DcepMessage::kPpidControl,
                                                     message.encode());
  }
  bool say(int i, const std::string& text) {
    return channels.peers.offerer->sendRawForTesting(
        stream(i), DcepMessage::kPpidString, std::vector<uint8_t>(text.begin(), text.end()));
  }

  struct Extra {
    std::shared_ptr<DCDataChannel> channel;
    ChannelRecorder events;
  };
  std::vector<Extra> announced() {
    std::lock_guard lock(announced_->mutex);
    return announced_->channels;
  }
  bool waitForAnnounced(size_t count) {
    for (const auto deadline = std::chrono::steady_clock::now() + test::scaledWait(5s);;) {
      if (announced().size() >= count) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      // What the peer sends after the opens comes through behind them.
      if (!channels.carries("until announced")) return false;
    }
  }

  OpenChannels channels{LoopbackPeers::Options{}, LoopbackPeers::loopbackConfig(), bounded()};

 private:
  struct Announced {
    std::mutex mutex;
    std::vector<Extra> channels;
  };
  std::shared_ptr<Announced> announced_ = std::make_shared<Announced>();
};

TEST_F(RemoteChannels,
       OpensPastTheBoundOrOfAnotherLabelAreRefusedUnannouncedAndWhatComesOnThemDropped) {
  constexpr int kOthers = 100;
  for (int i = 0; i < kOthers; ++i) ASSERT_TRUE(open(i, std::string(60000, 'x'), 60000));
  // "P2P" again: the first fits beside the channel the exchange uses, the next two do not.
  for (int i = kOthers; i < kOthers + 3; ++i) ASSERT_TRUE(open(i, "P2P"));
  for (int i = 0; i < kOthers + 3; ++i) ASSERT_TRUE(say(i, "on stream " + std::to_string(i)));
  ASSERT_TRUE(channels.carries("after the opens"));
  ASSERT_TRUE(waitForAnnounced(1));
  EXPECT_TRUE(channels.carries("and once more"));

  const auto extras = announced();
  ASSERT_EQ(extras.size(), 1u) << "channels past the bound, or of another label, were announced";
  EXPECT_EQ(extras[0].channel->label(), "P2P");
  EXPECT_EQ(extras[0].channel->id(), stream(kOthers));
  auto events = extras[0].events;
  ASSERT_TRUE(events.waitForFrames(1, test::scaledWait(5s)));
  EXPECT_EQ(std::get<std::string>(events.frames()[0]), "on stream " + std::to_string(kOthers));
  // The exchange's channel got what was sent on it, and nothing of the refused ones.
  for (const auto& frame : channels.remoteEvents.frames()) {
    const auto* text = std::get_if<std::string>(&frame);
    EXPECT_TRUE(text == nullptr || text->find("on stream") == std::string::npos) << *text;
  }
}

TEST_F(RemoteChannels, APeersChannelClosedHereGoesAtOnceThoughThePeerNeverAnswersTheReset) {
  constexpr int kRounds = 10;
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_TRUE(open(i, "P2P", 60000));
    ASSERT_TRUE(waitForAnnounced(static_cast<size_t>(i + 1)))
        << "channel " << i << " was not announced: the closed ones still count";
    auto extra = announced().back();
    ASSERT_TRUE(extra.events.waitForEvent("open", test::scaledWait(5s)));
    extra.channel->close();
    EXPECT_TRUE(extra.events.waitForEvent("closed", 2s))
        << "channel " << i << " waits for a reset the peer never sends";
  }
  EXPECT_TRUE(channels.carries("still carried"));
}

TEST_F(RemoteChannels, OpensRefusedAgainAndAgainOnOneStreamQueueOneResetBehindWaitingData) {
  // What this side sends waits: its data never reaches the peer, so usrsctp's buffer fills and
  // the rest queues here, and every reset asked for meanwhile waits behind it.
  SctpImpairment lost;
  lost.filter = [](const uint8_t* packet, size_t size) {
    return !test::SctpWireLog::carries(packet, size, test::SctpWireLog::kDataChunk);
  };
  channels.peers.answerer->impairSctpForTesting(lost);
  const auto remote = channels.remoteChannel();
  ASSERT_TRUE(remote);
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(remote->sendBinary(Data(std::string(200000, 'd'))));
  const auto before = channels.peers.answerer->sctpStatusForTesting();
  ASSERT_TRUE(before && before->queuedEntries > 0) << "nothing waits to be sent";

  constexpr int kOpens = 2000;
  for (int i = 0; i < kOpens; ++i) ASSERT_TRUE(open(0, "junk"));
  ASSERT_TRUE(channels.carries("after the opens"));
  const auto after = channels.peers.answerer->sctpStatusForTesting();
  ASSERT_TRUE(after);
  EXPECT_LE(after->queuedEntries, before->queuedEntries + 1)
      << "each refusal of the same stream queued a reset of its own";
}

}  // namespace
}  // namespace ombrelia::datachannel
