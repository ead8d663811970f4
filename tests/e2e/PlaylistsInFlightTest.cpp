// Many players asking at once for a large playlist, through the example host application: the
// viewer's memory for playlists stays within the budget of playlist work in flight whatever
// their number; players that give up leave no work behind; a small playlist and a real stream at
// a long signed URL are still served meanwhile, byte for byte.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <unistd.h>

#include "platform/url/UrlReference.hpp"
#include "proxy/DownloadController.hpp"
#include "proxy/PlaylistRewriter.hpp"
#include "proxy/PlaylistWorkBudget.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "support/ChildProcess.hpp"
#include "support/CpuTime.hpp"
#include "support/LoopbackClient.hpp"
#include "support/PlaylistMemoryBound.hpp"
#include "support/ProxyFixture.hpp"
#include "support/ResidentMemory.hpp"
#include "support/ServedSampleStream.hpp"
#include "support/SignedQuery.hpp"
#include "support/StreamOrigin.hpp"
#include "support/StreamPlayback.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;

// The large playlist: segments each signed with a long query, 16 MB in all. Under a sanitizer
// the viewer's allocator and shadow memory make its resident memory no measure of what it holds,
// and each playlist costs it ten times the CPU: there the same players ask for an eighth of it,
// and only what they get and what they leave behind is checked.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kInFlightSegments = 250;
constexpr bool kInFlightMemoryMeasured = false;
#else
constexpr int kInFlightSegments = 2000;
constexpr bool kInFlightMemoryMeasured = true;
#endif
constexpr size_t kInFlightQueryBytes = 8000;

// Waits until the process has used no CPU for a while (with a bound); the CPU seconds it used
// meanwhile. CPU time offers no event to wait on.
double cpuUntilIdle(pid_t pid) {
  const double start = processCpuSeconds(pid);
  double last = start;
  int idle = 0;
  const auto deadline = std::chrono::steady_clock::now() + test::scaledWait(30s);
  while (idle < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(200ms);
    const double now = processCpuSeconds(pid);
    idle = now - last < 0.02 ? idle + 1 : 0;
    last = now;
  }
  return last - start;
}

// The bound the viewer's memory for one playlist asked for by many players at once keeps within
// (PlaylistWorkBudget): what every playlist but the oldest may hold, what the oldest needs (its
// body beside the store's reading of it, or the rewriting), and what the store keeps of it,
// with room for what the viewer's threads and connections take besides.
size_t boundFor(const std::string& playlist, const std::string& at) {
  return PlaylistWorkBudget::kMaxPlaylistBytesInFlight + onePlaylistMemoryBound(playlist, at);
}

TEST(PlaylistsInFlight, ManyPlayersAtOnceKeepToTheBudgetAndPlayersThatGiveUpLeaveNoWork) {
  ServedSampleStream stream("ombrelia-in-flight");
  // A real playlist, which the viewer stores and rewrites to twice its size.
  const std::string big = signedVodPlaylist(kInFlightSegments, kInFlightQueryBytes);
  std::ofstream(stream.root() / "m" / "v0" / "big.m3u8", std::ios::binary) << big;
  // And one of half a million short lines, whose every stage holds many times its size.
  std::string dense = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n";
  for (int n = 0; n < 262140; ++n) dense += "#EXTINF:2,\nx.ts\n";
  std::ofstream(stream.root() / "m" / "v0" / "dense.m3u8", std::ios::binary) << dense;
  {
    ASSERT_TRUE(stream.start("/m/master.m3u8?" + signedQuery(2000), test::scaledWait(10s)))
        << stream.failure();
    StreamOrigin& origin = stream.origin();
    ChildProcess& serve = stream.serve();
    const std::string& url = stream.localMaster();
    const int port = stream.port();
    const std::string bigLocal =
        ReverseProxyURL::make(UrlReference::read(origin.url("/m/v0/big.m3u8")).value(), port)
            ->toString();

    // One player: what one answer costs.
    const double cpuBefore = processCpuSeconds(serve.pid());
    const Fetched one = fetchWithCurl(bigLocal);
    ASSERT_EQ(one.status, 200);
    ASSERT_EQ(localUrlsIn(one.body).size(), static_cast<size_t>(kInFlightSegments));
    const double cpuOfOne = processCpuSeconds(serve.pid()) - cpuBefore;

    // Eight at once: all answered whole, within the budget beside one playlist's own stages
    // (its body, what the store reads of it, its pinned and rewritten text: about 12 times its
    // size here) and the store's copy; while a small playlist is answered meanwhile.
    std::atomic<int> answered{0};
    bool smallFirst = false;
    const size_t growth = residentGrowth(serve.pid(), [&] {
      std::vector<std::thread> players;
      for (int n = 0; n < 8; ++n) {
        players.emplace_back([&] {
          const Fetched answer = fetchWithCurl(bigLocal);
          EXPECT_EQ(answer.status, 200);
          EXPECT_EQ(answer.body.size(), one.body.size());
          ++answered;
        });
      }
      const Fetched media = fetchWithCurl(localUrlsIn(fetchWithCurl(url).body).front());
      EXPECT_EQ(media.status, 200);
      smallFirst = answered.load() < 8;
      for (auto& player : players) player.join();
    });
    if (kInFlightMemoryMeasured) {
      EXPECT_LT(growth, boundFor(big, origin.url("/m/v0/big.m3u8")))
          << "resident memory grew by " << growth << " bytes for 8 players of a " << big.size()
          << "-byte playlist";
    }
    EXPECT_TRUE(smallFirst) << "a small playlist waited for every large one";
    // The stages of a playlist of short lines were counted at a fraction of what they held, and
    // the store's reading not at all: 8 players of this one took 300 MB.
    if (kInFlightMemoryMeasured) {
      const std::string denseAt = origin.url("/m/v0/dense.m3u8");
      const std::string denseLocal =
          ReverseProxyURL::make(UrlReference::read(denseAt).value(), port)->toString();
      const size_t before = residentBytes(serve.pid());
      const size_t peak = residentGrowth(serve.pid(), [&] {
        std::vector<std::thread> players;
        for (int n = 0; n < 8; ++n) {
          players.emplace_back([&] { EXPECT_EQ(fetchWithCurl(denseLocal).status, 200); });
        }
        for (auto& player : players) player.join();
      });
      EXPECT_LT(peak, boundFor(dense, denseAt))
          << "resident memory grew by " << peak << " bytes for 8 players of a " << dense.size()
          << "-byte playlist of " << 2 * 262140 << " lines";
      // Once answered, what the store keeps of it and little else: the arenas of the threads
      // the stages ran on kept up to 64 MiB free each.
      const size_t kept =
          dense.size() + DownloadController::storingBytes(dense, 2 * denseAt.size()) + (24u << 20);
      const size_t after = residentSettlesBelow(serve.pid(), before + kept, test::scaledWait(3s));
      const size_t held = after > before ? after - before : 0;
      EXPECT_LT(held, kept) << "bytes still resident once 8 players were answered";
    }

    // Eight players that give up at once: nothing is fetched, stored or rewritten for them.
    for (int n = 0; n < 8; ++n) {
      auto player = LoopbackClient::connect(static_cast<uint16_t>(port));
      ASSERT_TRUE(player);
      player->send("GET " + bigLocal.substr(url.find('/', 7)) +
                   " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }
    const double cpuAfterLeaving = cpuUntilIdle(serve.pid());
    EXPECT_LT(cpuAfterLeaving, std::max(cpuOfOne, 0.05))
        << "the viewer worked " << cpuAfterLeaving
        << " s for players that had gone (one answer: " << cpuOfOne << " s)";

    // A real stream at a long signed URL still plays, byte for byte.
    const Playback played = playThrough(url, stream.root().string());
    EXPECT_EQ(played.failure, "");
    EXPECT_EQ(played.segments, 4u);
    EXPECT_EQ(serve.stop(SIGTERM, test::scaledWait(10s)), 0);
  }
}

}  // namespace
}  // namespace ombrelia::test
