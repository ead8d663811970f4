#include <gtest/gtest.h>

#include <ombrelia/OLoggerConfig.hpp>
#include <regex>

#include "datachannel/DCPeerConnection.hpp"
#include "datachannel/SdpParser.hpp"
#include "support/LoopbackPeers.hpp"
#include "support/WaitScale.hpp"
#include "support/Waiter.hpp"
#include "unit/peers/LogLines.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using test::LoopbackPeers;

TEST(PeerConnectionTest, TwoPeersOnLoopbackCompleteIceAndDtls) {
  LoopbackPeers peers;
  peers.offerer->setLocalDescription();
  ASSERT_TRUE(peers.waitForBothConnected(test::scaledWait(5s)))
      << "the loopback pair never connected";
  EXPECT_EQ(peers.offerer->state(), DCIceState::connected);
  EXPECT_EQ(peers.offererStates().front(), DCIceState::connecting);

  const auto offer = SdpParser::parse(*peers.offerer->localDescription());
  const auto answer = SdpParser::parse(*peers.answerer->localDescription());
  ASSERT_TRUE(offer.description && answer.description);
  EXPECT_EQ(offer.description->setup, SdpSetup::actpass);
  EXPECT_EQ(answer.description->setup, SdpSetup::active);
  EXPECT_EQ(answer.description->mid, offer.description->mid);
  for (const std::string& candidate : peers.offererCandidates()) {
    EXPECT_EQ(candidate.rfind("candidate:", 0), 0u) << candidate;
  }
}

TEST(PeerConnectionTest, TamperedFingerprintFailsTheConnection) {
  LoopbackPeers::Options options;
  options.tamperOffer = [](std::string sdp) {
    // Flip the first hex digit of the offer's fingerprint.
    const size_t at = sdp.find("a=fingerprint:sha-256 ") + 22;
    sdp[at] = sdp[at] == 'A' ? 'B' : 'A';
    return sdp;
  };
  LoopbackPeers peers(options);
  peers.offerer->setLocalDescription();
  EXPECT_TRUE(peers.waitForAnswererState(DCIceState::failed, test::scaledWait(5s)))
      << "the answerer accepted a certificate whose fingerprint does not match";
  const auto states = peers.answererStates();
  EXPECT_EQ(std::count(states.begin(), states.end(), DCIceState::connected), 0);
}

TEST(PeerConnectionTest, CandidatesArrivingBeforeTheDescriptionAreApplied) {
  LoopbackPeers::Options options;
  options.stripCandidatesFromDescriptions = true;
  options.trickleCandidates = false;
  options.relayOffer = false;
  LoopbackPeers peers(options);
  peers.offerer->setLocalDescription();
  ASSERT_TRUE(peers.waitForOffererCandidates(test::scaledWait(5s)));
  // The offerer's candidates reach the answerer only, and before the description does.
  for (const auto& candidate : peers.offererCandidates()) {
    EXPECT_TRUE(peers.answerer->addRemoteCandidate("a=" + candidate, "0"));
  }
  std::string offer = *peers.offerer->localDescription();
  offer = std::regex_replace(offer, std::regex("a=candidate:[^\r\n]*\r\n"), "");
  ASSERT_TRUE(peers.answerer->setRemoteDescription(offer));
  EXPECT_TRUE(peers.waitForBothConnected(test::scaledWait(5s)))
      << "the early candidates were not applied once the description arrived";
}

TEST(PeerConnectionTest, PeerWithoutCandidatesFailsAtTheConnectTimeout) {
  LoopbackPeers::Options options;
  options.stripCandidatesFromDescriptions = true;
  options.trickleCandidates = false;
  auto config = LoopbackPeers::loopbackConfig();
  config.connectTimeout = 700ms;
  LoopbackPeers peers(options, config);
  const auto started = std::chrono::steady_clock::now();
  peers.offerer->setLocalDescription();
  ASSERT_TRUE(peers.waitForOffererState(DCIceState::failed, test::scaledWait(5s)));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  const auto states = peers.offererStates();
  EXPECT_EQ(states.back(), DCIceState::failed);
}

TEST(PeerConnectionTest, RemoteDescriptionTypeIsInferredAndGarbageRefused) {
  auto pc = DCPeerConnection::create(LoopbackPeers::loopbackConfig());
  ASSERT_TRUE(pc);
  // The tracker may relay garbage without end: one line tells of it all.
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  for (int i = 0; i < 1000; ++i)
    EXPECT_FALSE(pc->setRemoteDescription("not a session description"));
  const std::string out = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  EXPECT_EQ(test::linesWith(out, {"remote description refused"}).size(), 1u) << out.substr(0, 999);
  EXPECT_FALSE(pc->addRemoteCandidate("candidate:garbage", "0"));
  EXPECT_TRUE(
      pc->addRemoteCandidate("a=candidate:1 1 udp 2122260223 127.0.0.1 5000 typ host", "0"));
  // An mDNS candidate is accepted and later dropped, never fatal.
  EXPECT_TRUE(pc->addRemoteCandidate(
      "candidate:2 1 udp 2122260223 0b1c2d3e-aaaa-bbbb-cccc-0123456789ab.local 5001 typ host",
      "0"));
  EXPECT_EQ(pc->state(), DCIceState::newState);
}

TEST(PeerConnectionTest, PeerWhoseAgentVanishesIsReportedDisconnected) {
  auto config = LoopbackPeers::loopbackConfig();
  config.consentTimeout = 1500ms;
  config.failedTimeout = 500ms;
  LoopbackPeers peers(LoopbackPeers::Options{}, config);
  peers.offerer->setLocalDescription();
  ASSERT_TRUE(peers.waitForBothConnected(test::scaledWait(5s)));
  const auto vanished = std::chrono::steady_clock::now();
  peers.answerer->abandonForTesting();
  ASSERT_TRUE(peers.waitForOffererState(DCIceState::disconnected, test::scaledWait(10s)));
  EXPECT_LT(std::chrono::steady_clock::now() - vanished, 3s);
  EXPECT_TRUE(peers.waitForOffererState(DCIceState::failed, test::scaledWait(5s)));
}

}  // namespace
}  // namespace ombrelia::datachannel
