// Playlists as real origins hand them out, read through the proxy. What the player is given must
// lead back to what the origin meant.
#include <gtest/gtest.h>

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

  const Fetched media = fetchWithCurl(proxy.local(origin.url("/xr/go")));
  EXPECT_NE(media.body.find(proxy.local(other.url("/b/seg5.ts"))), std::string::npos) << media.body;
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

}  // namespace
}  // namespace ombrelia::test
