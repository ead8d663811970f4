// The offer flood once more, on a machine with several local addresses and peer connections not
// bound to loopback, so each gathers on every address as an application's do: many identifiers
// of one participant offer again and again, newcomers and replacements, in a network namespace
// the test makes with six addresses of its own. The descriptors the viewer's connections hold,
// alive or closing, stay within the peer list's budget, however many sockets each connection
// takes.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "peers/DataChannelFramework.hpp"
#include "peers/PeerList.hpp"
#include "peers/SessionDescription.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/MonotonicClock.hpp"
#include "support/ChildProcess.hpp"
#include "support/IsolatedNetwork.hpp"
#include "support/PeerListSandbox.hpp"
#include "support/SampleDescription.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;

// Unique local IPv6 addresses on the namespace's own link: nothing is ever sent to them.
constexpr int kExtraAddresses = 6;
constexpr int kIdentities = 48;
constexpr int kRounds = 12;
// A player request or two in flight, and the tracker's socket, besides the connections.
constexpr long long kSlack = 8;

long long openDescriptors() {
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  long long count = 0;
  while (::readdir(folder) != nullptr) ++count;
  ::closedir(folder);
  return count - 3;  // ".", ".." and the folder's own descriptor
}

Uuid identity(int i) {
  Uuid::Bytes bytes{};
  bytes[0] = 0xdd;
  bytes[15] = static_cast<uint8_t>(i);
  return Uuid(bytes);
}

TEST(OfferFloodWithoutLoopbackBinding,
     ConnectionsHoldNoMoreDescriptorsThanTheBudgetOnManyAddresses) {
  if (test::IsolatedNetwork::ranInChild()) return;
  // A link of its own: libnice leaves out interfaces named as container links ("veth...") are.
  std::vector<std::vector<std::string>> commands{
      {"ip", "link", "add", "ombr0", "type", "veth", "peer", "name", "ombr1"},
      {"ip", "link", "set", "ombr0", "up"},
      {"ip", "link", "set", "ombr1", "up"}};
  for (int i = 1; i <= kExtraAddresses; ++i) {
    commands.push_back({"ip", "-6", "addr", "add", "fd4f:6d62:7265::" + std::to_string(i) + "/64",
                        "dev", "ombr0", "nodad"});
  }
  for (const auto& command : commands) {
    const auto result = test::ChildProcess::run(command, 10s);
    ASSERT_EQ(result.exitCode, 0) << command[1] << ": " << result.output;
  }
  test::PeerListSandbox sandbox;
  // The library's own connections, without STUN servers and without a bind address.
  PeerConnectionFactory::overrideShared(std::make_shared<DataChannelFramework>(
      DataChannelFramework::Settings{std::vector<std::string>{}, std::nullopt}));
  const size_t perConnection = WebRTCClient::socketsPerClient({});
  ASSERT_GE(perConnection, static_cast<size_t>(kExtraAddresses + 1))
      << "the namespace's addresses are not gathered on: "
      << test::ChildProcess::run({"ip", "addr"}, 10s).output;

  PeerList& list = PeerList::shared();
  const long long baseline = openDescriptors();
  // Sockets open on the framework's loop as connections gather, and close there some steps
  // after a connection ends: sampled on a thread of its own while the offers come.
  std::atomic<long long> most{baseline};
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    while (sampling) {
      most = std::max(most.load(), openDescriptors());
      std::this_thread::sleep_for(1ms);
    }
  });
  int offers = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kIdentities; ++i) {
      const std::string ufrag = "f" + std::to_string(1000 + offers++);
      list.updateUserRemoteSdp(
          SessionDescription(test::SampleDescription::withFingerprint("AB", "sha-256", ufrag),
                             SdpType::offer),
          identity(i));
    }
    // Let the loop open what this round's connections gather on.
    std::this_thread::sleep_for(200ms);
    // Replacements may come again, and peers that never opened may be made way for.
    platform::MonotonicClock::advance(PeerList::kMinReplacementInterval);
  }
  sampling = false;
  sampler.join();
  std::printf("%zu descriptors a connection; %lld before, at most %lld during %d offers\n",
              perConnection, baseline, most.load(), offers);
  EXPECT_LE(most.load(), baseline + static_cast<long long>(PeerList::kMaxSockets) + kSlack)
      << "connections alive or closing held more descriptors than the budget";
  EXPECT_LE(list.socketsAliveOrClosing(), PeerList::kMaxSockets);
  EXPECT_GT(list.peers().size(), 0u);
}

}  // namespace
}  // namespace ombrelia
