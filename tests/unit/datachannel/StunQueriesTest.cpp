// Connections made back to back, as a participant's offers make them, each gathering through
// the configured STUN server (a local listener that counts the queries and answers none): the
// process looks the server's host up once and queries it within one budget, however many
// connections it makes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "datachannel/DCPeerConnection.hpp"
#include "datachannel/StunHostCache.hpp"
#include "datachannel/StunQueryBudget.hpp"
#include "support/LoopbackPeers.hpp"
#include "support/SampleDescription.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;

// A UDP socket on 127.0.0.1 that notes the transaction of every STUN request it receives.
class StunListener {
 public:
  StunListener() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~StunListener() { ::close(fd_); }
  uint16_t port() const { return port_; }

  // Reads until nothing new has come for `quiet` since the first request, or `bound` has passed.
  // The first may come late on a loaded machine: it is waited for up to `bound`.
  void drain(std::chrono::milliseconds quiet, std::chrono::milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    pollfd wait{fd_, POLLIN, 0};
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      const auto timeout = transactions_.empty() ? left : std::min(quiet, left);
      if (::poll(&wait, 1, static_cast<int>(timeout.count())) <= 0) break;
      uint8_t packet[1500];
      const ssize_t size = ::recv(fd_, packet, sizeof packet, 0);
      // A binding request: type 0x0001, the magic cookie, then 12 bytes of transaction.
      if (size >= 20 && packet[0] == 0 && packet[1] == 1) {
        transactions_.insert(std::string(reinterpret_cast<char*>(packet) + 8, 12));
      }
    }
  }
  size_t transactions() const { return transactions_.size(); }

 private:
  int fd_;
  uint16_t port_ = 0;
  std::set<std::string> transactions_;
};

// Connections answering an offer, gathering through `stunUrl`, all held until the end.
std::vector<std::shared_ptr<DCPeerConnection>> connectionsThrough(const std::string& stunUrl,
                                                                  int count) {
  auto config = test::LoopbackPeers::loopbackConfig();
  config.iceServers = {stunUrl};
  std::vector<std::shared_ptr<DCPeerConnection>> made;
  for (int i = 0; i < count; ++i) {
    auto connection = DCPeerConnection::create(config);
    if (!connection) break;
    connection->setRemoteDescription(
        test::SampleDescription::withFingerprint("AB", "sha-256", "u" + std::to_string(1000 + i)));
    made.push_back(std::move(connection));
  }
  return made;
}

TEST(StunQueriesTest, ConnectionsMadeBackToBackQueryTheServerWithinOneBudget) {
  StunListener listener;
  const auto started = std::chrono::steady_clock::now();
  const auto made = connectionsThrough("stun:127.0.0.1:" + std::to_string(listener.port()), 200);
  ASSERT_EQ(made.size(), 200u);
  listener.drain(1500ms, test::scaledWait(20s));
  const auto elapsed = std::chrono::steady_clock::now() - started;
  const size_t allowed =
      StunQueryBudget::kBurst + 1 + static_cast<size_t>(elapsed / StunQueryBudget::kRefillInterval);
  EXPECT_GT(listener.transactions(), 0u) << "no connection queried the server";
  EXPECT_LE(listener.transactions(), allowed)
      << "200 connections made " << listener.transactions() << " queries";
}

TEST(StunQueriesTest, ServerNamedByHostIsLookedUpOnceForEveryConnection) {
  const size_t before = StunHostCache::shared().lookupsStarted();
  const auto made = connectionsThrough("stun:localhost:3478", 50);
  ASSERT_EQ(made.size(), 50u);
  // Every connection's gathering has started once the loop has seen them all.
  for (const auto& connection : made) (void)connection->remoteCandidatesForTesting();
  EXPECT_EQ(StunHostCache::shared().lookupsStarted() - before, 1u);
}

}  // namespace
}  // namespace ombrelia::datachannel
