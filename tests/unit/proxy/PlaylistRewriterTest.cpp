#include "proxy/PlaylistRewriter.hpp"

#include <gtest/gtest.h>

#include <ombrelia/OLoggerConfig.hpp>

#include "platform/url/UrlReference.hpp"
#include "proxy/ReverseProxyURL.hpp"

using namespace ombrelia;

namespace {

Url url(const char* text) {
  auto u = Url::parse(text);
  EXPECT_TRUE(u) << text;
  return *u;
}

std::string local(const std::string& origin) {
  return ReverseProxyURL::make(UrlReference::read(origin).value(), 8080)->toString();
}

}  // namespace

TEST(ReverseProxyURL, WritesTheOriginPathQueryAndItemInTheExactEncoding) {
  EXPECT_EQ(local("http://o.example/v/master.m3u8?a=1"),
            "http://127.0.0.1:8080/v/master.m3u8?a=1&__hls_origin_url="
            "http://o.example/v/master.m3u8?a%3D1");
  EXPECT_EQ(
      local("https://o.example:8443/x%20y/s.ts"),
      "http://127.0.0.1:8080/x%20y/s.ts?__hls_origin_url=https://o.example:8443/x%2520y/s.ts");
  EXPECT_FALSE(ReverseProxyURL::make(url("file:///etc/passwd"), 8080));
  EXPECT_FALSE(ReverseProxyURL::make(url("/relative"), 8080));
}

// The way back, through the local server's own form decoding, is in the proxy server tests.
TEST(ReverseProxyURL, ReaderRefusesAnythingButHttpUrls) {
  EXPECT_FALSE(ReverseProxyURL::originURL("file:///etc/passwd"));
  EXPECT_FALSE(ReverseProxyURL::originURL("not a url"));
  EXPECT_FALSE(ReverseProxyURL::originURL(""));
  EXPECT_TRUE(ReverseProxyURL::originURL("http://h/x.ts"));
}

TEST(PlaylistRewriter, ResolvesRelativeAbsoluteAndRootedUrisAgainstThePlaylistUrl) {
  PlaylistRewriter rewriter(8080);
  const Url base = url("http://o.example:81/v/master.m3u8");
  EXPECT_EQ(rewriter.processLine("720p/index.m3u8", base),
            local("http://o.example:81/v/720p/index.m3u8"));
  EXPECT_EQ(rewriter.processLine("../seg/1.ts", base), local("http://o.example:81/seg/1.ts"));
  EXPECT_EQ(rewriter.processLine("/x/2.ts", base), local("http://o.example:81/x/2.ts"));
  EXPECT_EQ(rewriter.processLine("https://cdn/x.ts", base), local("https://cdn/x.ts"));
  EXPECT_EQ(rewriter.processLine("seg%20a%2Fb.ts?t=1", base),
            local("http://o.example:81/v/seg%20a%2Fb.ts?t=1"));
  EXPECT_EQ(rewriter.processLine("http://[::1/x.ts", base), "http://[::1/x.ts")
      << "unresolvable lines stay";
}

TEST(PlaylistRewriter, RewritesEachUriAttributeAndLeavesOtherSchemesAlone) {
  PlaylistRewriter rewriter(8080);
  const Url base = url("http://o/v/index.m3u8");
  EXPECT_EQ(rewriter.processLine("#EXT-X-KEY:METHOD=AES-128,URI=\"enc.key\",IV=0x01", base),
            "#EXT-X-KEY:METHOD=AES-128,URI=\"" + local("http://o/v/enc.key") + "\",IV=0x01");
  EXPECT_EQ(rewriter.processLine("#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"skd://key-id\"", base),
            "#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"skd://key-id\"");
  EXPECT_EQ(rewriter.processLine("#EXT-X-X:URI=\"a.ts\",OTHER-URI=\"b.ts\"", base),
            "#EXT-X-X:URI=\"" + local("http://o/v/a.ts") + "\",OTHER-URI=\"" +
                local("http://o/v/b.ts") + "\"");
  EXPECT_EQ(rewriter.processLine("#EXTINF:2.0,", base), "#EXTINF:2.0,");
  EXPECT_EQ(rewriter.processLine("#EXT-X-MEDIA:URI=\"unterminated", base),
            "#EXT-X-MEDIA:URI=\"unterminated");
}

TEST(PlaylistRewriter, RewritesWholePlaylistsWhateverTheirLineEnds) {
  PlaylistRewriter rewriter(9000);
  const Url base = url("http://o/a/index.M3U8");  // the extension plays no part
  const std::string crlf = "#EXTM3U\r\n#EXTINF:2,\r\ns0.ts\r\n#EXT-X-ENDLIST\r\n";
  const std::string lf = "#EXTM3U\n#EXTINF:2,\ns0.ts\n#EXT-X-ENDLIST\n";
  const std::string expected = "#EXTM3U\n#EXTINF:2,\n" +
                               ReverseProxyURL::make(url("http://o/a/s0.ts"), 9000)->toString() +
                               "\n#EXT-X-ENDLIST\n";
  EXPECT_EQ(rewriter.rewrite(crlf, base), expected);
  EXPECT_EQ(rewriter.rewrite(lf, base), expected);
}

// The proxy-level test shows what reaches the origin; these are the readings around it.
TEST(PlaylistRewriter, ReadsUrisAsPlayersDoAndKeepsWhatNoUrlParserReads) {
  PlaylistRewriter rewriter(8080);
  const Url base = url("http://o/v/index.m3u8");
  EXPECT_EQ(rewriter.processLine("\t a%20b c\\d.ts?q=\\ ", base),
            local("http://o/v/a%20b%20c/d.ts?q=\\"));
  EXPECT_EQ(rewriter.processLine("seg_12:00.ts", base), local("http://o/v/seg_12:00.ts"));
  EXPECT_EQ(rewriter.processLine("#EXT-X-MAP:URI=\" init 1.mp4 \"", base),
            "#EXT-X-MAP:URI=\"" + local("http://o/v/init%201.mp4") + "\"");
  for (const char* kept : {"   ", " #EXTINF:2,", "http://bad host/x.ts", "skd://key id"}) {
    EXPECT_EQ(rewriter.processLine(kept, base), kept);
  }
  EXPECT_EQ(rewriter.rewrite("\xEF\xBB\xBF#EXTM3U\nseg.ts", base),
            "\xEF\xBB\xBF#EXTM3U\n" + local("http://o/v/seg.ts"))
      << "the header after a byte-order mark is no URI";
}

TEST(PlaylistRewriter, PlaylistOfManyUnusableUrisLogsAFewOfThemAndCountsTheRest) {
  PlaylistRewriter rewriter(8080);
  std::string playlist = "#EXTM3U\n";
  for (int i = 0; i < 1000; ++i) {
    playlist += "http://bad host/" + std::to_string(i) + ".ts\nhttp://u:p\\@h/" +
                std::to_string(i) + ".ts\n";
  }
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::debug);
  testing::internal::CaptureStdout();
  const auto rewritten = rewriter.rewrite(playlist, url("http://o/v/index.m3u8"));
  const std::string log = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  ASSERT_TRUE(rewritten);
  size_t lines = 0;
  for (size_t at = log.find("Playlist URI left"); at != std::string::npos;
       at = log.find("Playlist URI left", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 16u) << "one line for each of 2,000 unusable URIs";
  EXPECT_NE(log.find("not logged one by one: 1984"), std::string::npos) << log.substr(0, 3000);
}
