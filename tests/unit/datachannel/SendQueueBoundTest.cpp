// What a connection queues while its peer's window is shut: the queue holds to its bound in
// memory whatever the size of the messages, and a peer that opens channel after channel, each
// taken and answered, loses its connection past the bound of a connection's life.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "datachannel/DcepMessage.hpp"
#include "datachannel/SctpTransport.hpp"
#include "support/OpenChannels.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using test::LoopbackPeers;
using test::OpenChannels;

// What the connections here hold while SCTP pushes back (that of every connection).
constexpr size_t kMaxBufferedBytes = 16 * 1024 * 1024;

void shutWindow(DCPeerConnection& peer) {
  SctpImpairment shut;
  shut.shutWindow = true;
  peer.impairSctpForTesting(shut);
}

TEST(SendQueueBound, OneByteMessagesFillTheQueueByWhatEachCostsNotByItsBytes) {
  OpenChannels channels;
  ASSERT_TRUE(channels.open()) << "the channel \"P2P\" did not open";
  shutWindow(*channels.peers.offerer);
  const auto remote = channels.remoteChannel();
  ASSERT_TRUE(remote);
  // usrsctp's own buffer takes 1 MiB of payload first; what comes after waits in the queue.
  const Data large(std::string(200000, 'd'));
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(remote->sendBinary(large));
  const auto before = channels.peers.answerer->sctpStatusForTesting();
  ASSERT_TRUE(before && before->queuedEntries > 0) << "nothing waits to be sent";
  // Counted by payload, 16 MiB of one-byte messages would be 16.7 million entries of some 100
  // bytes each; a thirtieth of that already shows the bound does not hold.
  const size_t tries = kMaxBufferedBytes / 32;
  size_t taken = 0;
  const Data one(std::string("x"));
  while (taken < tries && remote->sendBinary(one)) ++taken;
  ASSERT_LT(taken, tries) << "the queue took " << taken << " one-byte messages";
  const auto status = channels.peers.answerer->sctpStatusForTesting();
  ASSERT_TRUE(status);
  std::printf("%zu one-byte messages taken, %zu entries queued, %zu bytes held\n", taken,
              status->queuedEntries, status->queuedCost);
  EXPECT_GE(status->queuedCost, status->queuedEntries * SctpTransport::kQueuedEntryCost);
  EXPECT_LE(status->queuedCost, kMaxBufferedBytes);
  EXPECT_GE(SctpTransport::kQueuedEntryCost, 64u) << "an entry costs less than its own slot";
}

TEST(SendQueueBound, APeerThatOpensChannelsPastTheBoundOfTheConnectionsLifeLosesIt) {
  constexpr size_t kLifeBound = 6;
  auto config = LoopbackPeers::loopbackConfig();
  config.maxRemoteChannels = 2;
  config.remoteChannelLabels = std::vector<std::string>{"P2P"};
  config.maxRemoteChannelOpens = kLifeBound;
  OpenChannels channels(LoopbackPeers::Options{}, LoopbackPeers::loopbackConfig(), config);
  ASSERT_TRUE(channels.open()) << "the channel \"P2P\" did not open";
  // Each channel past "P2P" is closed as it comes, as the WebRTC client does, which frees its
  // stream for the next open.
  auto announced = std::make_shared<std::atomic<size_t>>(0);
  channels.peers.answerer->onDataChannel([announced](std::shared_ptr<DCDataChannel> channel) {
    ++*announced;
    channel->close();
  });
  shutWindow(*channels.peers.offerer);
  DcepMessage open;
  open.label = "P2P";
  const auto opening = open.encode();
  constexpr int kStreams = 4;
  const auto first = *channels.local->id();
  bool lost = false;
  for (int i = 0; i < 200 && !lost; ++i) {
    const auto stream = static_cast<uint16_t>(first + 2 * (1 + i % kStreams));
    channels.peers.offerer->sendRawForTesting(stream, DcepMessage::kPpidControl, opening);
    lost = channels.peers.waitForAnswererState(DCIceState::failed, 20ms);
  }
  EXPECT_TRUE(lost || channels.peers.waitForAnswererState(DCIceState::failed, 5s))
      << "the connection still stands after " << announced->load() << " channels taken";
  // The first of them was "P2P" itself.
  EXPECT_EQ(announced->load(), kLifeBound - 1);
}

}  // namespace
}  // namespace ombrelia::datachannel
