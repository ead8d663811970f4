// However many players ask for large playlists and read nothing, the answers being written hold
// no more than the playlist budget before another playlist is taken on, the answers moving least
// being reset for those that wait; meanwhile a player that reads gets its playlist.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "proxy/PlaylistWorkBudget.hpp"
#include "support/LoopbackClient.hpp"
#include "support/ProxyFixture.hpp"
#include "support/TestHttpServer.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// 48 players that read nothing, each asking for a distinct 7.6 MB playlist: every answer within
// its connection's share passed the budget as the oldest (100 of them held 553 MB).
TEST(PlaylistAnswersBound, PlayersThatReadNothingHoldNoMoreThanTheBudgetInAnswers) {
  constexpr size_t kPlayers = 48;
  constexpr size_t kPlaylistBytes = 7'600'000;
  std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n";
  while (text.size() < kPlaylistBytes) text += "#EXT-X-PROGRAM-DATE-TIME:2026-12-09T03:00:00Z\n";
  TestHttpServer origin;
  origin.route("/big.m3u8", TestHttpResponse::ok(text, "application/vnd.apple.mpegurl"));
  // Another origin's: the idle players' fetches, paused for room, hold their origin's
  // connections (which the HTTP client's own rules give up, not the playlist budget's).
  TestHttpServer other;
  other.route("/reading.m3u8",
              TestHttpResponse::ok(text.substr(0, 1'000'000) + "\n", "application/x-mpegurl"));
  ProxyFixture proxy;
  const auto& budget = PlaylistWorkBudget::shared();

  std::vector<LoopbackClient> idle;
  for (size_t n = 0; n < kPlayers; ++n) {
    auto client = LoopbackClient::connect(static_cast<uint16_t>(proxy.port()));
    ASSERT_TRUE(client);
    const std::string local = proxy.local(origin.url("/big.m3u8?player=" + std::to_string(n)));
    const std::string target =
        local.substr(("http://127.0.0.1:" + std::to_string(proxy.port())).size());
    client->send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    idle.push_back(std::move(*client));
  }
  // Until the playlists of the idle players stop adding to what the budget held at most: each
  // answered, or waiting for room.
  const auto until = Clock::now() + test::scaledWait(6s);
  size_t peak = 0;
  auto grew = Clock::now();
  while (Clock::now() < until && Clock::now() - grew < 2s) {
    if (budget->peakBytesInFlight() != peak) {
      peak = budget->peakBytesInFlight();
      grew = Clock::now();
    }
    std::this_thread::sleep_for(100ms);
  }
  const auto asked = Clock::now();
  const Fetched reading = fetchWithCurl(proxy.local(other.url("/reading.m3u8")));
  const auto waited = Clock::now() - asked;
  std::cout << "peak playlist bytes " << budget->peakBytesInFlight() / 1'000'000
            << " MB; the reading player waited "
            << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms\n";
  EXPECT_EQ(reading.status, 200);
  EXPECT_EQ(reading.body.size(), 1'000'001u);
  EXPECT_LT(waited, 20s) << "a reading player's playlist waited behind players that read nothing";
  // Answers up to the budget, then the playlist taken on (its body and stages, a few times its
  // size); the others wait meanwhile, since answers within their shares fill what they share.
  EXPECT_LT(budget->peakBytesInFlight(),
            PlaylistWorkBudget::kMaxPlaylistBytesInFlight + 5 * kPlaylistBytes)
      << "answers of players that read nothing took the viewer past the budget";
  for (auto& client : idle) client.close();
}

}  // namespace
}  // namespace ombrelia::test
