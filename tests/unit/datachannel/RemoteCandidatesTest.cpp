// A peer whose offer was taken sends candidate after candidate, distinct and repeated, in its
// description and trickled: the connection hands its ICE agent no more than a few dozen, so
// neither memory nor the shared loop's work grows with what the peer sends.
#include <gtest/gtest.h>

#include <ombrelia/OLoggerConfig.hpp>

#include "datachannel/DCPeerConnection.hpp"
#include "support/LoopbackPeers.hpp"
#include "support/SampleDescription.hpp"

namespace ombrelia::datachannel {
namespace {

std::string candidate(int i) {
  return "candidate:" + std::to_string(i) + " 1 UDP 2122260223 127." + std::to_string(i / 256) +
         "." + std::to_string(i % 256) + " " + std::to_string(10000 + i % 50000) + " typ host";
}

size_t count(const std::string& text, const std::string& what) {
  size_t found = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
  return found;
}

TEST(RemoteCandidatesTest, ConnectionTakesAFewDozenWhateverThePeerSends) {
  auto connection = DCPeerConnection::create(test::LoopbackPeers::loopbackConfig());
  ASSERT_TRUE(connection);
  std::string offer = test::SampleDescription::withFingerprint("AB");
  std::string inDescription;
  for (int i = 0; i < 20; ++i) inDescription += "a=" + candidate(i) + "\r\n";
  offer += inDescription;

  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::debug);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(connection->setRemoteDescription(offer));
  // The same candidate again and again counts each time, then thousands of distinct ones.
  for (int i = 0; i < 20; ++i) connection->addRemoteCandidate("a=" + candidate(0), "0");
  for (int i = 20; i < 3000; ++i) connection->addRemoteCandidate(candidate(i), "0");
  const auto held = connection->remoteCandidatesForTesting();
  const std::string out = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);

  ASSERT_TRUE(held) << "the ICE agent did not start";
  EXPECT_LE(*held, 32u) << "the agent holds every candidate the peer sent";
  EXPECT_GE(*held, 20u) << "the description's own candidates were not all taken";
  EXPECT_EQ(count(out, "remote candidates past"), 1u) << out.substr(0, 2000);
}

}  // namespace
}  // namespace ombrelia::datachannel
