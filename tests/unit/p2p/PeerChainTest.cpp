// Chain texts: how they grow along subscriptions, when they reveal a loop, and their bound.
#include <gtest/gtest.h>

#include "p2p/PeerChain.hpp"
#include "protocol/PeerChainMessage.hpp"

namespace ombrelia {
namespace {

TEST(PeerChain, ChainGrowsByTwoNamesPerHop) {
  const auto uuid = *Uuid::parse("AAAAAAAA-1111-4111-8111-111111111111");
  EXPECT_EQ(PeerChain::peerName(uuid), "aaaaaaaa");
  const std::string ab = PeerChain::build(std::nullopt, "aaaaaaaa", "bbbbbbbb");
  EXPECT_EQ(ab, "aaaaaaaa|bbbbbbbb");
  EXPECT_EQ(PeerChain::build(ab, "bbbbbbbb", "cccccccc"), "aaaaaaaa|bbbbbbbb|bbbbbbbb|cccccccc");
}

TEST(PeerChain, OwnNameBeforeTheLastRevealsALoop) {
  EXPECT_TRUE(
      PeerChain::isInLoop("aaaaaaaa|bbbbbbbb|bbbbbbbb|cccccccc|cccccccc|aaaaaaaa", "aaaaaaaa"));
  EXPECT_FALSE(PeerChain::isInLoop("cccccccc|bbbbbbbb|bbbbbbbb|aaaaaaaa", "aaaaaaaa"));
  EXPECT_FALSE(PeerChain::isInLoop("aaaaaaaa", "aaaaaaaa"));
  EXPECT_TRUE(PeerChain::isInLoop("|aaaaaaaa|", "aaaaaaaa"));
  EXPECT_FALSE(PeerChain::isInLoop("aaaaaaaab|x", "aaaaaaaa")) << "names compare whole";
}

TEST(PeerChain, BuiltChainStaysWithinTheBoundKeepingTheNewestNames) {
  std::string prefix = "aaaaaaaa";
  while (prefix.size() < PeerChainMessage::kMaxChainBytes - 4) prefix += "|cccccccc";
  const std::string chain = PeerChain::build(prefix, "bbbbbbbb", "dddddddd");
  EXPECT_LE(chain.size(), PeerChainMessage::kMaxChainBytes);
  EXPECT_TRUE(chain.ends_with("|cccccccc|bbbbbbbb|dddddddd"));
  EXPECT_FALSE(chain.starts_with("|"));
}

}  // namespace
}  // namespace ombrelia
