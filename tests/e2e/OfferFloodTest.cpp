// One example viewer, allowed the 1024 descriptors a desktop application commonly is, plays a
// stream while a participant of the tracker sends it thousands of offers back to back, each a
// fresh negotiation under the participant's one identifier. Every offer the viewer takes closes
// the connection made for the one before, and a closed connection gives its sockets back only
// some steps later: what the viewer bounds must be its connections alive or closing, not the
// peers it lists. It stays up, holds no more descriptors than that bound allows, plays the
// origin's bytes, and a viewer that joins after the flood still exchanges segments with it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peers/PeerList.hpp"
#include "support/CpuTime.hpp"
#include "support/HostViewer.hpp"
#include "support/OnDemandSwarm.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;

using OfferFlood = OnDemandSwarm;

constexpr size_t kOffers = 6000;
// `ulimit -n` of a desktop session.
constexpr unsigned long kDesktopDescriptorLimit = 1024;
// What the flood may add to the descriptors the viewer held before it: two for each connection
// alive or closing (its socket and the context of its ICE component), and a few for the player's
// requests in flight (its socket, the proxy's, the origin fetch's).
constexpr long long kDescriptorAllowance = 2 * PeerList::kMaxConnections + 8;

TEST_F(OfferFlood, ViewerUnderADesktopDescriptorLimitOutlastsThousandsOfOffersAndServesANewcomer) {
  // --stay keeps a viewer that has played to the end in the swarm until it is stopped.
  HostViewer first = startFirst("viewer-1", "2", {"--stay"}, kDesktopDescriptorLimit);
  ASSERT_TRUE(first.uuid());
  first.poll();
  const long long baseline = first.openDescriptors();
  ASSERT_GT(baseline, 0) << "the viewer's descriptors cannot be read";

  // Sampled on a thread of its own: while the flood lasts, the viewer's output never pauses
  // long enough for a poll to return.
  std::atomic<long long> most{baseline};
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    while (sampling) {
      const long long now = first.openDescriptors();
      if (now < 0) break;
      most = std::max(most.load(), now);
      std::this_thread::sleep_for(2ms);
    }
  });
  const double cpuBefore = processCpuSeconds(first.process().pid());
  const auto floodStart = std::chrono::steady_clock::now();
  const auto participant = tracker->floodOffers(*first.uuid(), kOffers);
  ASSERT_TRUE(participant) << "the tracker did not start the flood";
  std::string from = *participant;
  std::transform(from.begin(), from.end(), from.begin(), ::toupper);  // as viewers print it

  // Each offer ends in one line: the peer added afresh, or the offer refused.
  size_t taken = 0;
  size_t refused = 0;
  size_t read = 0;
  const bool handled = pollUntil(
      {&first},
      [&](HostViewer& v) {
        for (; read < v.lines().size(); ++read) {
          const std::string& line = v.lines()[read];
          if (line.find("add peer: " + from) != std::string::npos) ++taken;
          if (line.find("refusing offer from: " + from) != std::string::npos) ++refused;
        }
        return taken + refused >= kOffers || v.openDescriptors() < 0;
      },
      180s);
  sampling = false;
  sampler.join();
  const std::chrono::duration<double> lasted = std::chrono::steady_clock::now() - floodStart;
  std::printf(
      "offers taken %zu, refused %zu; descriptors %lld before, at most %lld during; the viewer "
      "used %.1f CPU s in the %.1f s the offers took\n",
      taken, refused, baseline, most.load(), processCpuSeconds(first.process().pid()) - cpuBefore,
      lasted.count());
  ASSERT_GE(first.openDescriptors(), 0) << "the viewer did not outlast the flood";
  ASSERT_TRUE(handled) << "the viewer handled " << taken + refused << " of " << kOffers
                       << " offers";
  EXPECT_LE(most.load(), baseline + kDescriptorAllowance)
      << "descriptors grew past what the connections alive or closing may hold";
  EXPECT_GT(taken, 0u) << "no offer was taken at all";

  HostViewer second = start("viewer-2", "2", {"--stay"});
  std::vector<HostViewer*> viewers{&first, &second};
  const long long fromPeers = expectEveryonePlayedTheOriginsBytes(
      viewers, {"add peer", "remove peer", "refusing", "making room", "Received UUID"});
  EXPECT_GT(second.number("bytes from peers"), 0)
      << "the viewer that joined after the flood took nothing from the first";
  EXPECT_GT(fromPeers, 0);
}

}  // namespace
}  // namespace ombrelia::test
