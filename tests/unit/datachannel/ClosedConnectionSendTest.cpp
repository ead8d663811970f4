// A message sent on a channel whose connection has just ended, before the channel's close event
// has reached the application (as a viewer resumed after a long stop finds its peers gone): the
// send is refused, and the refusal names the ended connection, not a full send buffer.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include <ombrelia/OLoggerConfig.hpp>

#include "datachannel/DCPeerConnection.hpp"
#include "support/Latch.hpp"
#include "support/OpenChannels.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;

TEST(ClosedConnectionSend, RefusalAfterThePeerEndedTheConnectionNamesNoFullBuffer) {
  test::OpenChannels channels;
  ASSERT_TRUE(channels.open(test::scaledWait(10s)));
  // The offerer's application is busy with a message, so the close event of its channel waits
  // behind it while the connection itself ends underneath.
  auto busy = std::make_shared<test::Latch>();
  auto done = std::make_shared<test::Latch>();
  channels.local->onMessage(
      [busy, done](std::string) {
        busy->countDown();
        done->waitFor(1, 60s);
      },
      [](Data) {});
  ASSERT_TRUE(channels.remoteChannel()->sendText("busy"));
  ASSERT_TRUE(busy->waitFor(1));

  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  channels.peers.answerer->close();
  bool refused = false;
  const auto deadline = std::chrono::steady_clock::now() + test::scaledWait(10s);
  while (!refused && std::chrono::steady_clock::now() < deadline) {
    refused = !channels.local->sendText("after the end");
    if (!refused) std::this_thread::yield();
  }
  const std::string out = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  done->countDown();

  ASSERT_TRUE(refused) << "sends went on after the peer ended the connection";
  EXPECT_EQ(out.find("send buffer is full"), std::string::npos)
      << "nothing was waiting, yet the refusal blamed a full buffer:\n"
      << out;
  EXPECT_NE(out.find("message of 13 bytes not sent: "), std::string::npos) << out;
}

}  // namespace
}  // namespace ombrelia::datachannel
