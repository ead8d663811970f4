// Two of our own connections through a relay that loses, holds and reorders every datagram,
// STUN included, for as long as a viewer keeps a peer: minutes, not seconds.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "support/LossyUdpRelay.hpp"
#include "support/OpenChannels.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using test::LoopbackPeers;
using test::LossyUdpRelay;
using test::OpenChannels;

// The whole path runs through `relay`: descriptions and trickled candidates alike.
LoopbackPeers::Options throughRelay(LossyUdpRelay& relay) {
  LoopbackPeers::Options options;
  const auto from = [&relay](LossyUdpRelay::Side side) {
    return [&relay, side](std::string text) { return relay.throughRelay(side, text); };
  };
  options.tamperOffer = from(LossyUdpRelay::Side::offerer);
  options.tamperOffererCandidate = from(LossyUdpRelay::Side::offerer);
  options.tamperAnswer = from(LossyUdpRelay::Side::answerer);
  options.tamperAnswererCandidate = from(LossyUdpRelay::Side::answerer);
  return options;
}

TEST(LossyLinkTest, ConnectionOutlivesThreeMinutesAtFivePercentLoss) {
  LossyUdpRelay relay({.lossRate = 0.05});
  OpenChannels pair(throughRelay(relay));
  ASSERT_TRUE(pair.open(30s)) << "the channel never opened through the relay";

  // A numbered text a second, as a peer's availability chatter: SCTP carries each one through
  // the losses, and the connection must stay up the whole time.
  constexpr int kSeconds = 180;
  int sent = 0;
  for (; sent < kSeconds; ++sent) {
    ASSERT_TRUE(pair.local->sendText(std::to_string(sent))) << "send refused at second " << sent;
    if (pair.peers.waitForEitherLost(1s)) break;
  }
  const auto counts = relay.counts();
  EXPECT_FALSE(pair.peers.waitForEitherLost(0ms))
      << "the connection was lost after " << sent << " s; relay forwarded " << counts.forwarded
      << " datagrams and dropped " << counts.dropped;
  EXPECT_GT(counts.dropped, counts.forwarded / 50) << "the relay lost too little to mean anything";

  ASSERT_TRUE(pair.remoteEvents.waitForFrames(static_cast<size_t>(sent), 30s))
      << "texts went missing under loss";
  const auto frames = pair.remoteEvents.frames();
  for (int i = 0; i < sent; ++i) {
    const auto* text = std::get_if<std::string>(&frames[static_cast<size_t>(i)]);
    ASSERT_TRUE(text != nullptr && *text == std::to_string(i)) << "text " << i << " out of order";
  }
}

}  // namespace
}  // namespace ombrelia::datachannel
