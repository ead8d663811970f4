// The proxy's handlers against a loopback test origin: what reaches the origin, and what the
// player gets back.
#include <gtest/gtest.h>

#include "support/ChildProcess.hpp"
#include "support/ProxyFixture.hpp"
#include "support/StreamOrigin.hpp"
#include "support/TestHttpServer.hpp"

namespace ombrelia::test {
namespace {

struct Fetched {
  int status = 0;
  std::string body;
};

Fetched fetch(const std::string& url) {
  const auto r = ChildProcess::run({"curl", "-s", "-w", "\n%{http_code}", url});
  const size_t cut = r.output.rfind('\n');
  return {std::atoi(r.output.c_str() + cut + 1), r.output.substr(0, cut)};
}

TEST(HLSProxyServer, OriginUrlsReachTheOriginExactlyAsWritten) {
  TestHttpServer origin;
  origin.route("/a+b/s.ts", TestHttpResponse::ok("seg", "video/mp2t"));
  ProxyFixture proxy;
  for (const std::string target :
       {"/a+b/s.ts?x=1+2", "/a+b/s.ts?a=1&b=2=3", "/a+b/s.ts?sig=ab%2Bcd%2F%3D&e=%20",
        "/a+b/s.ts?token=abc&flag", "/a+b/s.ts"}) {
    const Fetched f = fetch(proxy.local(origin.url(target)));
    EXPECT_EQ(f.status, 200) << target;
    EXPECT_EQ(f.body, "seg") << target;
    EXPECT_EQ(origin.requests().back().target, target);
  }
}

TEST(HLSProxyServer, RewritesPlaylistsWhateverTheirExtensionOrPath) {
  TestHttpServer origin;
  const std::string media =
      "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nseg0.ts\n#EXT-X-ENDLIST\n";
  origin.route("/live/index", TestHttpResponse::ok(media, "application/vnd.apple.mpegurl"));
  origin.route("/live/untyped", TestHttpResponse::ok(media, "text/plain"));
  origin.route("/live/notes.txt", TestHttpResponse::ok("seg0.ts\n", "text/plain"));
  ProxyFixture proxy;
  const std::string live = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n" +
                           proxy.local(origin.url("/live/seg0.ts")) + "\n#EXT-X-ENDLIST\n";
  EXPECT_EQ(fetch(proxy.local(origin.url("/live/index"))).body, live);
  EXPECT_EQ(fetch(proxy.local(origin.url("/live/untyped"))).body, live);
  EXPECT_EQ(fetch(proxy.local(origin.url("/live/notes.txt"))).body, "seg0.ts\n")
      << "other resources pass unchanged";
}

// The origin's own error statuses reaching the player are in the end-to-end proxy tests.
TEST(HLSProxyServer, AnswersA500WhenNothingCameBack) {
  ProxyFixture proxy;
  const std::string closed = "http://127.0.0.1:" + std::to_string(freeLoopbackPort());
  EXPECT_EQ(fetch(proxy.local(closed + "/s.ts")).status, 500);
  EXPECT_EQ(fetch(proxy.local(closed + "/p.m3u8")).status, 500);
}

TEST(HLSProxyServer, PassesRangesThroughWithTheOriginsContentRange) {
  TestHttpServer origin;
  TestHttpResponse ranged = TestHttpResponse::ok("0123456789", "video/mp2t");
  ranged.honourRange = true;
  origin.route("/r.ts", ranged);
  ProxyFixture proxy;
  const auto r = ChildProcess::run(
      {"curl", "-s", "-D", "-", "-H", "Range: bytes=3-5", proxy.local(origin.url("/r.ts"))});
  EXPECT_NE(r.output.find("HTTP/1.1 206"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Content-Range: bytes 3-5/10"), std::string::npos) << r.output;
  EXPECT_TRUE(r.output.ends_with("345")) << r.output;
}

}  // namespace
}  // namespace ombrelia::test
