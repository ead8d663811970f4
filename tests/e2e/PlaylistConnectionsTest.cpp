// Many players asking at once for a large playlist each from one HTTP/1.1 origin, through the
// example host application: the fetches waiting for room at the playlist budget held the
// origin's connections while the fetch the budget kept its room for waited for one, and players
// waited two minutes for a 500. Every player now gets its playlist whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <unistd.h>

#include "platform/url/UrlReference.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "support/ChildProcess.hpp"
#include "support/CpuTime.hpp"
#include "support/ProxyFixture.hpp"
#include "support/ServedSampleStream.hpp"
#include "support/SignedQuery.hpp"
#include "support/StreamOrigin.hpp"
#include "support/StreamPlayback.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kPlayers = 24;
// A 14 MB playlist; under a sanitizer each costs the viewer ten times the CPU, and the players
// ask for an eighth of it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kPlaylistSegments = 220;
#else
constexpr int kPlaylistSegments = 1750;
#endif

// The slowest of `kPlayers` fetches of `url` at once, each checked byte for byte.
std::chrono::milliseconds slowestOfAll(const std::function<std::string(int)>& url,
                                       const std::string& expected, const char* through) {
  std::vector<std::thread> players;
  std::vector<std::chrono::milliseconds> took(kPlayers);
  for (int n = 0; n < kPlayers; ++n) {
    players.emplace_back([&, n] {
      const auto asked = Clock::now();
      const Fetched answer = fetchWithCurl(url(n));
      took[n] = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked);
      EXPECT_EQ(answer.status, 200) << through << " player " << n;
      EXPECT_EQ(answer.body.size(), expected.size()) << through << " player " << n;
      EXPECT_TRUE(answer.body == expected) << through << " player " << n << ": not the same bytes";
    });
  }
  for (auto& player : players) player.join();
  return *std::max_element(took.begin(), took.end());
}

TEST(PlaylistConnections, PlayersAskingAtOnceForLargePlaylistsFromOneOriginGetThemAll) {
  ServedSampleStream stream("ombrelia-playlist-connections");
  const std::string big = signedVodPlaylist(kPlaylistSegments, 8000);
  std::ofstream(stream.root() / "m" / "v0" / "big.m3u8", std::ios::binary) << big;
  {
    ASSERT_TRUE(stream.start("/m/master.m3u8", test::scaledWait(10s))) << stream.failure();
    StreamOrigin& origin = stream.origin();
    ChildProcess& serve = stream.serve();
    const int port = stream.port();
    const auto at = [&](int n) { return origin.url("/m/v0/big.m3u8?player=" + std::to_string(n)); };
    const Fetched one =
        fetchWithCurl(ReverseProxyURL::make(UrlReference::read(at(-1)).value(), port)->toString());
    ASSERT_EQ(one.status, 200);
    ASSERT_EQ(localUrlsIn(one.body).size(), static_cast<size_t>(kPlaylistSegments));

    const auto direct = slowestOfAll(at, big, "direct");
    const auto proxied = slowestOfAll(
        [&](int n) {
          return ReverseProxyURL::make(UrlReference::read(at(n)).value(), port)->toString();
        },
        one.body, "through the viewer");
    std::cout << kPlayers << " players of a " << big.size() << "-byte playlist: slowest direct "
              << direct.count() << " ms, through the viewer " << proxied.count() << " ms\n";
    // The playlists' stages pass the playlist budget one or two at a time, each a few hundred
    // milliseconds; what never comes back is a wait for a connection (two minutes, then a 500).
    EXPECT_LT(proxied, direct + test::scaledWait(30s));
    EXPECT_EQ(serve.stop(SIGTERM, test::scaledWait(10s)), 0);
  }
}

}  // namespace
}  // namespace ombrelia::test
