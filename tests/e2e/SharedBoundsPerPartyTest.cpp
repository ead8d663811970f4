// What the viewer shares among players and origins stays fair, through the example host
// application: an origin that declares large playlists and trickles them leaves the application's
// own playlist its reloads, and players that read nothing of large segments hold no more than the
// budget of bodies in flight, while a reading player still gets its segment.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <unistd.h>

#include "platform/HttpClient.hpp"
#include "platform/url/UrlReference.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "support/ChildProcess.hpp"
#include "support/LoopbackClient.hpp"
#include "support/PatternedBytes.hpp"
#include "support/ProxyFixture.hpp"
#include "support/ResidentMemory.hpp"
#include "support/ServedSampleStream.hpp"
#include "support/StreamOrigin.hpp"
#include "support/StreamPlayback.hpp"
#include "support/TestHttpServer.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class SharedBoundsPerParty : public ::testing::Test {
 protected:
  // The sample stream's origin and `serve` in front of it; false when either did not start
  // (stream_.failure() says why).
  bool startViewer() {
    if (!stream_.start("/m/master.m3u8", test::scaledWait(10s))) return false;
    serve_ = &stream_.serve();
    url_ = stream_.localMaster();
    port_ = stream_.port();
    return true;
  }
  std::string local(const std::string& originURL) const {
    return ReverseProxyURL::make(UrlReference::read(originURL).value(), port_)->toString();
  }
  // A player that asks for `originURL` and reads nothing of the answer for now.
  LoopbackClient ask(const std::string& originURL) const {
    auto client = LoopbackClient::connect(static_cast<uint16_t>(port_));
    EXPECT_TRUE(client);
    const std::string target =
        local(originURL).substr(("http://127.0.0.1:" + std::to_string(port_)).size());
    client->send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return std::move(*client);
  }

  ServedSampleStream stream_{"ombrelia-shares"};
  const std::filesystem::path root_ = stream_.root();
  ChildProcess* serve_ = nullptr;
  std::string url_;
  int port_ = 0;
};

// Six playlists of another origin, declared at 64, 48 and four times 4 MiB and sent at 2 KiB/s,
// took the whole playlist budget at their declared lengths: the application's own small playlist
// then reloaded after 117 s. Now they hold what has arrived, those asked under another path too;
// they are ended only should another playlist wait for the room they hold (nobody is held to a
// rate while nobody waits), and then with an error before any head, never a short answer.
TEST_F(SharedBoundsPerParty, TricklingOriginLeavesTheApplicationsPlaylistItsReloads) {
  ASSERT_TRUE(startViewer()) << stream_.failure();
  StreamOrigin& origin = stream_.origin();
  TestHttpServer trickling;
  std::vector<LoopbackClient> players;
  const size_t declared[] = {64u << 20, 48u << 20, 4u << 20, 4u << 20, 4u << 20, 4u << 20};
  for (size_t n = 0; n < std::size(declared); ++n) {
    TestHttpResponse slow = TestHttpResponse::ok("#EXTM3U\n" + std::string(200'000, '#'),
                                                 "application/vnd.apple.mpegurl");
    slow.declaredLength = declared[n];
    slow.tricklePieceBytes = 512;
    slow.trickleInterval = 250ms;
    const std::string path = "/slow" + std::to_string(n) + (n % 2 == 0 ? ".m3u8" : ".php");
    trickling.route(path, slow);
    players.push_back(ask(trickling.url(path)));
    std::this_thread::sleep_for(300ms);
  }
  for (int reload = 0; reload < 3; ++reload) {
    const auto asked = Clock::now();
    const Fetched playlist =
        fetchWithCurl(local(origin.url("/m/v0/index.m3u8?reload=" + std::to_string(reload))));
    const auto waited = Clock::now() - asked;
    EXPECT_EQ(playlist.status, 200);
    EXPECT_TRUE(playlist.body.starts_with("#EXTM3U"));
    EXPECT_LT(waited, 2s) << "reload " << reload << " waited "
                          << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()
                          << " ms behind the trickling origin";
    std::this_thread::sleep_for(1s);
  }
  for (auto& player : players) {
    const std::string head = player.readUntil("\r\n", 1s);
    EXPECT_TRUE(head.empty() || head.starts_with("HTTP/1.1 5"))
        << "a trickling playlist was answered before it was whole: " << head;
  }
  EXPECT_EQ(serve_->stop(SIGTERM, 10s), 0);
}

// Twelve players ask for 60 MB segments on two origins and read nothing: the viewer's memory grew
// by 713 MB for a minute. Each transfer now runs a bounded way ahead of its player, within the
// budget of bodies in flight, and a player that reads gets its segment meanwhile.
TEST_F(SharedBoundsPerParty, PlayersThatReadNothingKeepTheViewerWithinTheBodyBudget) {
  const size_t segment = size_t{60} << 20;
  {
    std::string bytes = patternedBytes(segment, 29, 4093);
    std::ofstream(root_ / "big60m.ts", std::ios::binary) << bytes;
    std::ofstream(root_ / "small.ts", std::ios::binary) << bytes.substr(0, 4u << 20);
  }
  StreamOrigin second(root_.string());
  ASSERT_TRUE(second.running());
  ASSERT_TRUE(startViewer()) << stream_.failure();
  StreamOrigin& origin = stream_.origin();

  std::vector<LoopbackClient> idle;
  Fetched reading;
  std::chrono::milliseconds readingWait{0};
  const size_t growth = residentGrowth(serve_->pid(), [&] {
    for (int n = 0; n < 12; ++n) {
      const StreamOrigin& to = n % 2 == 0 ? origin : second;
      idle.push_back(ask(to.url("/big60m.ts?player=" + std::to_string(n))));
    }
    // Long enough for every body to come in whole, were it not paced by its player.
    std::this_thread::sleep_for(6s);
    const auto asked = Clock::now();
    reading = fetchWithCurl(local(origin.url("/small.ts?reading")));
    readingWait = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked);
    std::this_thread::sleep_for(2s);
  });
  std::cout << "viewer memory grew by " << growth / 1'000'000 << " MB; the reading player waited "
            << readingWait.count() << " ms\n";
  EXPECT_LT(growth,
            kResidentPerHeapByte * (platform::HttpClient::kMaxBodyBytesInFlight + (48u << 20)))
      << "resident memory grew by " << growth << " bytes for players that read nothing";
  EXPECT_EQ(reading.status, 200);
  EXPECT_EQ(reading.body.size(), size_t{4} << 20) << "the reading player's segment was cut";
  EXPECT_LT(readingWait, 20s);
  for (auto& player : idle) player.close();

  // A real stream still plays, byte for byte.
  const Playback played = playThrough(url_, root_.string());
  EXPECT_EQ(played.failure, "");
  EXPECT_EQ(played.segments, 4u);
  EXPECT_EQ(serve_->stop(SIGTERM, 10s), 0);
}

// Four players hold 120 MB of segments from an origin that then stalls; a player reading a
// 30 MB segment steadily waited 20 s for room (until the stalled ones ended), and one that read
// 4 MB, then paused 6 s, was cut. Short of room, the proxy stops keeping their segments for the
// store instead: both get every byte, as soon as a direct fetch does.
TEST_F(SharedBoundsPerParty, ReadersGetTheirSegmentsWholeWhenOtherBodiesFillTheBudget) {
  ASSERT_TRUE(startViewer()) << stream_.failure();
  StreamOrigin& origin = stream_.origin();
  const size_t segment = size_t{30} << 20;
  std::string bytes = patternedBytes(2 * segment, 31, 4091);
  TestHttpServer server;
  TestHttpResponse stalling = TestHttpResponse::ok(bytes, "video/mp2t");
  stalling.mode = TestHttpResponse::Mode::stallAfterHead;
  server.route("/held.ts", stalling);
  const std::string body = bytes.substr(0, segment);
  server.route("/read.ts", TestHttpResponse::ok(body, "video/mp2t"));

  std::vector<LoopbackClient> holders;
  for (int n = 0; n < 4; ++n) {
    holders.push_back(ask(server.url("/held.ts?player=" + std::to_string(n))));
    const std::string got = holders.back().readAtLeast(segment, 20s);
    ASSERT_GT(got.size(), segment) << "holder " << n << " got " << got.size() << " bytes";
  }
  // Another origin's live playlist needs room too: keeping those bodies for the store gives way.
  auto asked = Clock::now();
  const Fetched reload = fetchWithCurl(local(origin.url("/m/v0/index.m3u8")));
  const auto reloadTime = Clock::now() - asked;
  EXPECT_EQ(reload.status, 200);
  EXPECT_LT(reloadTime, 3s) << "a live playlist waited for the room of bodies held for the store";
  asked = Clock::now();
  const Fetched direct = fetchWithCurl(server.url("/read.ts?direct"));
  const auto directTime = Clock::now() - asked;
  ASSERT_TRUE(direct.status == 200 && direct.body == body);

  auto burst = ask(server.url("/read.ts?burst"));
  const std::string head = burst.readUntil("\r\n\r\n", 10s);
  ASSERT_TRUE(head.starts_with("HTTP/1.1 200")) << head.substr(0, 40);
  burst.readAtLeast(head.find("\r\n\r\n") + 4 + (4u << 20), 10s);
  asked = Clock::now();
  const Fetched steady = fetchWithCurl(local(server.url("/read.ts?steady")));
  const auto steadyTime = Clock::now() - asked;
  std::this_thread::sleep_for(6s - std::min<Clock::duration>(steadyTime, 5s));
  const std::string all = burst.readAtLeast(head.find("\r\n\r\n") + 4 + segment, 20s);
  std::cout << "direct "
            << std::chrono::duration_cast<std::chrono::milliseconds>(directTime).count()
            << " ms, steady through the proxy "
            << std::chrono::duration_cast<std::chrono::milliseconds>(steadyTime).count() << " ms\n";
  EXPECT_EQ(steady.status, 200);
  EXPECT_TRUE(steady.body == body) << "the steady reader got " << steady.body.size() << " bytes";
  // Through the proxy the body crosses one more process of the same build, which can cost as
  // much again as the direct fetch on a loaded sanitizer build; the fault was a 20 s wait.
  EXPECT_LT(steadyTime, 2 * directTime + 3s) << "the steady reader waited for room";
  const size_t start = all.find("\r\n\r\n") + 4;
  EXPECT_EQ(all.size() - start, segment) << "the reader that paused was cut";
  EXPECT_TRUE(all.compare(start, std::string::npos, body) == 0);
  for (auto& holder : holders) holder.close();
  EXPECT_EQ(serve_->stop(SIGTERM, 10s), 0);
}

// Eight players ask for 30 MB segments of one origin and read nothing: their transfers, paused
// for them, held its eight connections, and another player's live playlist and small segment
// from that origin waited 28-31 s. The idle ones now give their connections up, the one idle
// longest first, once they have taken nothing for kMaxIdleReaderTime while someone waits.
TEST_F(SharedBoundsPerParty, PlayersThatReadNothingGiveTheOriginsConnectionsUp) {
  ASSERT_TRUE(startViewer()) << stream_.failure();
  const size_t segment = size_t{30} << 20;
  std::string bytes = patternedBytes(segment, 37, 4093);
  TestHttpServer server;
  server.route("/big.ts", TestHttpResponse::ok(bytes, "video/mp2t"));
  const std::string live = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nsmall.ts\n";
  server.route("/live.m3u8", TestHttpResponse::ok(live, "application/vnd.apple.mpegurl"));
  server.route("/small.ts", TestHttpResponse::ok(bytes.substr(0, 300'000), "video/mp2t"));

  std::vector<LoopbackClient> idle;
  for (int n = 0; n < static_cast<int>(platform::HttpClient::kMaxConnectionsPerHost); ++n) {
    idle.push_back(ask(server.url("/big.ts?player=" + std::to_string(n))));
    EXPECT_TRUE(idle.back().readUntil("\r\n\r\n", 10s).starts_with("HTTP/1.1 200"));
  }
  auto asked = Clock::now();
  const Fetched directPlaylist = fetchWithCurl(server.url("/live.m3u8"));
  const Fetched directSegment = fetchWithCurl(server.url("/small.ts"));
  const auto direct = Clock::now() - asked;
  ASSERT_EQ(directPlaylist.status, 200);
  asked = Clock::now();
  const Fetched playlist = fetchWithCurl(local(server.url("/live.m3u8")));
  const Fetched small = fetchWithCurl(local(server.url("/small.ts")));
  const auto waited = Clock::now() - asked;
  std::cout << "direct " << std::chrono::duration_cast<std::chrono::milliseconds>(direct).count()
            << " ms, through the proxy beside the idle players "
            << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms\n";
  EXPECT_EQ(playlist.status, 200);
  EXPECT_TRUE(playlist.body.starts_with("#EXTM3U"));
  EXPECT_EQ(small.status, 200);
  EXPECT_TRUE(small.body == directSegment.body);
  EXPECT_LT(waited, direct + platform::HttpClient::kMaxIdleReaderTime + 4s)
      << "a request waited behind players that read nothing";
  // Those given up are told: their answers end short of the 30 MB they were promised.
  size_t cut = 0;
  for (auto& player : idle) {
    if (player.readAtLeast(segment + 1024, 3s).size() < segment) ++cut;
  }
  EXPECT_GE(cut, 1u);
  for (auto& player : idle) player.close();
  EXPECT_EQ(serve_->stop(SIGTERM, 10s), 0);
}

}  // namespace
}  // namespace ombrelia::test
