// A viewer on a slow link, or behind an origin that stalls for a while, gets its playlists
// through the proxy as it would fetching them itself: the same bytes, within a few seconds of the
// direct fetch. Both fetch the same paced origin at once, direct and through `serve`.
#include <gtest/gtest.h>

#include <csignal>
#include <future>

#include "platform/url/UrlReference.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "support/ChildProcess.hpp"
#include "support/ProxyFixture.hpp"
#include "support/ServedSampleStream.hpp"
#include "support/TestHttpServer.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Timed {
  Fetched fetched;
  std::chrono::milliseconds took{0};
};

std::future<Timed> fetchTimed(std::string url) {
  return std::async(std::launch::async, [url = std::move(url)] {
    const auto asked = Clock::now();
    Timed timed{fetchWithCurl(url), {}};
    timed.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked);
    return timed;
  });
}

// A playlist of `bytes` whose lines the proxy has nothing to rewrite in.
std::string playlistOf(size_t bytes) {
  std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n";
  while (text.size() < bytes) text += "#EXT-X-PROGRAM-DATE-TIME:2026-12-09T03:00:00.000Z\n";
  return text;
}

// An 83 kB playlist at 64 kbit/s (8 KB/s), and one whose origin stalls 10 s mid-body: both were
// answered 500 after 5-6 s, below the playlists' old minimum rate, where a direct fetch got them.
TEST(SlowPlaylistLink, SlowAndStalledPlaylistsComeAsTheyDoDirect) {
  ServedSampleStream stream("ombrelia-slowlink");
  ASSERT_TRUE(stream.start("/m/master.m3u8", test::scaledWait(10s))) << stream.failure();
  ChildProcess& serve = stream.serve();
  const int port = stream.port();

  TestHttpServer paced;
  TestHttpResponse slow = TestHttpResponse::ok(playlistOf(83'000), "application/vnd.apple.mpegurl");
  slow.tricklePieceBytes = 2000;
  slow.trickleInterval = 250ms;
  paced.route("/slow.m3u8", slow);
  TestHttpResponse stalled =
      TestHttpResponse::ok(playlistOf(80'000), "application/vnd.apple.mpegurl");
  stalled.tricklePieceBytes = stalled.body.size() / 2 + 1;
  stalled.trickleInterval = 10s;
  paced.route("/stalled.m3u8", stalled);

  std::vector<std::pair<std::string, std::string>> cases = {{"/slow.m3u8", slow.body},
                                                            {"/stalled.m3u8", stalled.body}};
  std::vector<std::pair<std::future<Timed>, std::future<Timed>>> fetches;
  for (const auto& [path, body] : cases) {
    const std::string direct = paced.url(path);
    const std::string viaProxy =
        ReverseProxyURL::make(UrlReference::read(direct).value(), port)->toString();
    fetches.emplace_back(fetchTimed(direct), fetchTimed(viaProxy));
  }
  for (size_t n = 0; n < cases.size(); ++n) {
    const Timed direct = fetches[n].first.get();
    const Timed proxied = fetches[n].second.get();
    std::cout << cases[n].first << ": direct " << direct.fetched.status << " in "
              << direct.took.count() << " ms, through the proxy " << proxied.fetched.status
              << " in " << proxied.took.count() << " ms\n";
    EXPECT_EQ(direct.fetched.status, 200);
    EXPECT_EQ(proxied.fetched.status, 200) << cases[n].first;
    EXPECT_TRUE(proxied.fetched.body == cases[n].second)
        << cases[n].first << ": " << proxied.fetched.body.size() << " bytes";
    EXPECT_LT(proxied.took, direct.took + 3s) << cases[n].first;
  }
  EXPECT_EQ(serve.stop(SIGTERM, test::scaledWait(10s)), 0);
}

}  // namespace
}  // namespace ombrelia::test
