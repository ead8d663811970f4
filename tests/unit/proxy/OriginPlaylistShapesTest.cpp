// Playlists as real origins hand them out, read through the proxy: reached through redirects,
// with URI lines that players forgive, with a byte-order mark. What the player is given must lead
// back to what the origin meant.
#include <gtest/gtest.h>

#include "store/ManifestController.hpp"
#include "support/ProxyFixture.hpp"
#include "support/TestHttpServer.hpp"

namespace ombrelia::test {
namespace {

constexpr const char* kHlsType = "application/vnd.apple.mpegurl";

std::string mediaPlaylist(const std::string& uri) {
  return "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n" + uri + "\n#EXT-X-ENDLIST\n";
}

TEST(OriginPlaylistShapes, PlaylistReachedThroughARedirectIsRewrittenAgainstWhereItEnded) {
  TestHttpServer origin;
  TestHttpServer other;
  origin.route("/xr/go", TestHttpResponse::redirect(other.url("/b/index.m3u8")));
  origin.route("/xr/json", TestHttpResponse::redirect(other.url("/b/index.m3u8?q={\"a\":1}")));
  other.route("/b/index.m3u8", TestHttpResponse::ok(mediaPlaylist("seg5.ts"), kHlsType));
  other.route("/b/seg5.ts", TestHttpResponse::ok("five", "video/mp2t"));
  // A packager's URLs on one host: no ".m3u8" anywhere, and a query on the redirect's target.
  const std::string ism = "/az/v.ism/";
  const std::string variant = "QualityLevels(400000)/Manifest(video,format=m3u8-aapl)";
  origin.route("/az/go", TestHttpResponse::redirect(ism + "manifest(format=m3u8-aapl)?tok=1"));
  origin.route(ism + "manifest(format=m3u8-aapl)",
               TestHttpResponse::ok(
                   "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=400000\n" + variant + "\n", kHlsType));
  origin.route(ism + variant, TestHttpResponse::ok(mediaPlaylist("Fragments(video=0)"), kHlsType));
  origin.route(ism + "QualityLevels(400000)/Fragments(video=0)",
               TestHttpResponse::ok("frag", "video/mp2t"));
  ProxyFixture proxy;

  for (const char* path : {"/xr/go", "/xr/json"}) {
    const Fetched media = fetchWithCurl(proxy.local(origin.url(path)));
    EXPECT_NE(media.body.find(proxy.local(other.url("/b/seg5.ts"))), std::string::npos)
        << path << ": " << media.body;
  }
  EXPECT_EQ(fetchWithCurl(proxy.local(other.url("/b/seg5.ts"))).body, "five");

  const Fetched master = fetchWithCurl(proxy.local(origin.url("/az/go")));
  const std::string variantLocal = proxy.local(origin.url(ism + variant));
  ASSERT_NE(master.body.find(variantLocal), std::string::npos) << master.body;
  const Fetched level = fetchWithCurl(variantLocal);
  EXPECT_EQ(level.status, 200);
  const std::string fragment =
      proxy.local(origin.url(ism + "QualityLevels(400000)/Fragments(video=0)"));
  ASSERT_NE(level.body.find(fragment), std::string::npos) << level.body;
  EXPECT_EQ(fetchWithCurl(fragment).body, "frag");
}

// Each URI the way a player's URL parser reads it: trimmed, a colon in a file name a path, dot
// segments escaped or not resolved, the host made canonical, what a URI cannot hold escaped and
// what browsers leave as it is ("{", a "%" that starts no escape) left so; signed queries go
// exactly as written and fragments never leave. The player's local URL must lead there too, for
// a path written for a Latin-1 file system or one starting with "//".
TEST(OriginPlaylistShapes, UriLinesPlayersForgiveReachTheOriginAsPlayersWouldAskForThem) {
  TestHttpServer origin;
  const std::string port = origin.url("").substr(origin.url("").rfind(':') + 1);
  const std::pair<std::string, std::string> uris[] = {
      {"  seg 0.ts\t", "/v/seg%200.ts"},
      {"my dir/index.m3u8", "/v/my%20dir/index.m3u8"},
      {"s\xC3\xA9q1.ts", "/v/s%C3%A9q1.ts"},
      {"\xE6\x97\xA5\xE6\x9C\xAC"
       "2.ts",
       "/v/%E6%97%A5%E6%9C%AC2.ts"},
      {"s.ts?pct=50%", "/v/s.ts?pct=50%"},
      {"s.ts?json={\"a\":1}&q='\\`", "/v/s.ts?json={%22a%22:1}&q=%27\\`"},
      {"s.ts?sig=ab%2Bcd%2F%3D&k=1&k=2+3~", "/v/s.ts?sig=ab%2Bcd%2F%3D&k=1&k=2+3~"},
      {"seg_12:00:06.ts", "/v/seg_12:00:06.ts"},
      {"x/%2e%2E/.%2e/up.ts", "/up.ts"},
      {"..\\v\\back.ts", "/v/back.ts"},
      {"http:rel.ts", "/v/rel.ts"},
      {"HTTP://127.1:0" + port + "/v/short.ts", "/v/short.ts"},
      {"s.ts#t=1", "/v/s.ts"},
      {"caf%E9.ts", "/v/caf%E9.ts"},
      {"..//cam:main/s.ts", "//cam:main/s.ts"},
  };
  std::string playlist = "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\" my key.bin\"\n";
  for (const auto& [line, target] : uris) {
    playlist += "#EXTINF:2,\n" + line + "\n";
    const std::string path = target.substr(0, target.find('?'));
    origin.route(
        path, [path](const TestHttpRequest&) { return TestHttpResponse::ok(path, "video/mp2t"); });
  }
  origin.route("/v/my%20key.bin", TestHttpResponse::ok("key", "application/octet-stream"));
  playlist += "#EXTINF:2,\nhttp://bad host/x.ts\n";
  origin.route("/v/index.m3u8", TestHttpResponse::ok(playlist, kHlsType));
  ProxyFixture proxy;

  const Fetched rewritten = fetchWithCurl(proxy.local(origin.url("/v/index.m3u8")));
  const std::string local = "http://127.0.0.1:" + std::to_string(proxy.port()) + "/";
  std::vector<std::string> reached;
  size_t at = 0;
  while ((at = rewritten.body.find(local, at)) != std::string::npos) {
    const size_t end = rewritten.body.find_first_of("\"\n", at);
    const Fetched fetched = fetchWithCurl(rewritten.body.substr(at, end - at));
    EXPECT_EQ(fetched.status, 200) << rewritten.body.substr(at, end - at);
    reached.push_back(origin.requests().back().target);
    at = end;
  }
  std::vector<std::string> expected = {"/v/my%20key.bin"};
  for (const auto& [line, target] : uris) expected.push_back(target);
  EXPECT_EQ(reached, expected) << rewritten.body;
  EXPECT_NE(rewritten.body.find("\nhttp://bad host/x.ts\n"), std::string::npos)
      << "what no URL parser reads stays as written";
}

// Some origins write a byte-order mark before the header and type the playlist as anything.
TEST(OriginPlaylistShapes, PlaylistBehindAByteOrderMarkIsKnownWhateverItsType) {
  TestHttpServer origin;
  const std::string bom = "\xEF\xBB\xBF";
  const std::string master =
      "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=500000,RESOLUTION=640x360\nlow/index\n";
  const std::pair<std::string, std::optional<std::string>> typed[] = {
      {"/bom/plain", "text/plain"}, {"/bom/octets", "application/octet-stream"}, {"/bom/none", {}}};
  for (const auto& [path, type] : typed)
    origin.route(path, TestHttpResponse::ok(bom + master, type));
  origin.route(
      "/bom/low/index",
      TestHttpResponse::ok(
          bom + "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:7\n#EXTINF:2,\n  s 0.ts\n",
          "text/plain"));
  ManifestController::shared().cleanup();
  ProxyFixture proxy;
  for (const auto& [path, type] : typed) {
    std::string pinned = bom + master;
    pinned.replace(pinned.find("low/index"), 9, proxy.local(origin.url("/bom/low/index")));
    EXPECT_EQ(fetchWithCurl(proxy.local(origin.url(path))).body, pinned) << path;
  }
  const std::string segment = origin.url("/bom/low/s%200.ts");
  EXPECT_NE(
      fetchWithCurl(proxy.local(origin.url("/bom/low/index"))).body.find(proxy.local(segment)),
      std::string::npos);
  const auto infos = ManifestController::shared().getSegmentInfo(*Url::parse(segment));
  ASSERT_EQ(infos.size(), 1u) << "both playlists are stored, and the segment is found by its URL";
  EXPECT_EQ(infos[0].segmentNumber(), 7);
  EXPECT_EQ(infos[0].resolution(), "640x360");
}

}  // namespace
}  // namespace ombrelia::test
