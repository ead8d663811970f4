// The subscription's own rules, without channels: which generation an end reaches, when an
// unanswered subscription expires, and whose chain text it keeps.
#include <gtest/gtest.h>

#include "p2p/Abonnement.hpp"
#include "p2p/PeerEngineSupport.hpp"

namespace ombrelia {
namespace {

Peer somePeer() { return Peer{Uuid::random(), std::nullopt, false, false, false, false, nullptr}; }

TEST(Abonnement, LateEndOfAnOldSubscriptionLeavesTheNewerOne) {
  Abonnement abonnement;
  const Peer first = somePeer();
  const Peer second = somePeer();
  ASSERT_TRUE(abonnement.subscribeIfNone(first));
  EXPECT_FALSE(abonnement.subscribeIfNone(second)) << "a second subscription replaced the first";
  const uint64_t old = abonnement.generation();
  abonnement.endUpTo(old);
  ASSERT_FALSE(abonnement.peer()) << "the end did not end the subscription it named";
  ASSERT_TRUE(abonnement.subscribeIfNone(second));
  abonnement.endUpTo(old);
  ASSERT_TRUE(abonnement.peer()) << "a late end took the newer subscription";
  EXPECT_EQ(abonnement.peer()->peer.uuid, second.uuid);
}

TEST(Abonnement, UnansweredSubscriptionExpiresOnlyAfterItsTolerance) {
  Abonnement abonnement;
  ASSERT_TRUE(abonnement.subscribeIfNone(somePeer()));
  const double t = PeerEngineSupport::now();
  EXPECT_FALSE(abonnement.expired(t + Abonnement::kAbonnementAnswerTolerance - 0.5))
      << "expired before its answer could come";
  const auto expired = abonnement.expired(t + Abonnement::kAbonnementAnswerTolerance + 0.5);
  ASSERT_TRUE(expired) << "a subscription never answered is kept";
  EXPECT_EQ(*expired, abonnement.generation());
}

TEST(Abonnement, ChainTextIsKeptOnlyFromTheSubscribedPeer) {
  Abonnement abonnement;
  const Peer uploader = somePeer();
  ASSERT_TRUE(abonnement.subscribeIfNone(uploader));
  abonnement.takeChain(Uuid::random(), "aaaaaaaa|bbbbbbbb");
  EXPECT_FALSE(abonnement.peer()->currentChain) << "another peer's chain was taken";
  abonnement.takeChain(uploader.uuid, "cccccccc|dddddddd");
  EXPECT_EQ(abonnement.peer()->currentChain, std::optional<std::string>("cccccccc|dddddddd"));
}

}  // namespace
}  // namespace ombrelia
