// What a connection queues while its peer's window is shut holds to its bound in memory, whatever
// the size of the messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <ombrelia/OLoggerConfig.hpp>

#include "datachannel/SctpTransport.hpp"
#include "support/CpuTime.hpp"
#include "support/OpenChannels.hpp"
#include "unit/peers/LogLines.hpp"

namespace ombrelia::datachannel {
namespace {

using test::OpenChannels;

// What the connections here hold while SCTP pushes back (that of every connection).
constexpr size_t kMaxBufferedBytes = 16 * 1024 * 1024;

// The offerer reads nothing from now on: what the answerer sends waits in its queue.
void shutOfferersWindow(OpenChannels& channels) {
  SctpImpairment shut;
  shut.shutWindow = true;
  channels.peers.offerer->impairSctpForTesting(shut);
}

// Opens the channel and shuts the offerer's window; `remote` is the answerer's channel, whose
// sends then wait in its queue.
void openWithOfferersWindowShut(OpenChannels& channels, std::shared_ptr<DCDataChannel>& remote) {
  ASSERT_TRUE(channels.open()) << "the channel \"P2P\" did not open";
  shutOfferersWindow(channels);
  remote = channels.remoteChannel();
  ASSERT_TRUE(remote);
}

TEST(SendQueueBound, OneByteMessagesFillTheQueueByWhatEachCostsNotByItsBytes) {
  OpenChannels channels;
  std::shared_ptr<DCDataChannel> remote;
  ASSERT_NO_FATAL_FAILURE(openWithOfferersWindowShut(channels, remote));
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

TEST(SendQueueBound, SendsRefusedByAFullQueueWriteOneLineForTheConnection) {
  OpenChannels channels;
  std::shared_ptr<DCDataChannel> remote;
  ASSERT_NO_FATAL_FAILURE(openWithOfferersWindowShut(channels, remote));
  const Data large(std::string(200000, 'd'));
  size_t taken = 0;
  while (taken < 200 && remote->sendBinary(large)) ++taken;
  ASSERT_LT(taken, 200u) << "the queue never filled";
  const Data answer(std::string(206, 'a'));
  for (taken = 0; taken < 100000 && remote->sendBinary(answer);) ++taken;
  ASSERT_LT(taken, 100000u) << "the queue never filled";
  // What a peer that never reads made of every answer sent to it: 135 MB of lines in 20 s.
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  size_t refused = 0;
  for (int i = 0; i < 20000; ++i) refused += remote->sendBinary(answer) ? 0 : 1;
  const std::string out = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  EXPECT_EQ(refused, 20000u);
  EXPECT_EQ(test::linesWith(out, {"datachannel: message of"}).size(), 1u) << out.substr(0, 2000);
}

TEST(SendQueueBound, ConnectionsTogetherHoldTheBudgetAndTheHeaviestPastItsShareIsEnded) {
  // Three connections whose peers read nothing, each filled to less than its own bound; together
  // they pass what all connections may hold.
  const auto bound = std::chrono::milliseconds(static_cast<int>(5000 * test::kSanitizerSlowdown));
  std::vector<std::unique_ptr<OpenChannels>> connections;
  for (int i = 0; i < 3; ++i) {
    connections.push_back(std::make_unique<OpenChannels>());
    ASSERT_TRUE(connections.back()->open(bound)) << "the channel \"P2P\" did not open";
    shutOfferersWindow(*connections.back());
  }
  const Data large(std::string(200000, 'd'));
  const size_t fill[] = {8, 5, 4};  // MiB queued past usrsctp's own buffer
  for (int i = 0; i < 3; ++i) {
    const auto remote = connections[i]->remoteChannel();
    ASSERT_TRUE(remote);
    for (size_t sent = 0; sent < (fill[i] + 1) * 1024 * 1024; sent += large.size())
      if (!remote->sendBinary(large)) break;
  }
  const auto ended = [&](int i) {
    const auto state = connections[i]->peers.answerer->state();
    return state == DCIceState::failed || state == DCIceState::closed;
  };
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!ended(0) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(ended(0)) << "the heaviest connection was kept";
  EXPECT_FALSE(ended(1));
  EXPECT_FALSE(ended(2));
  EXPECT_LE(SctpTransport::queuedCostAllTransports(), SctpTransport::kMaxQueuedBytesAllTransports);
}

}  // namespace
}  // namespace ombrelia::datachannel
