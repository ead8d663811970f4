#include "proxy/PlaylistRewriter.hpp"

#include <gtest/gtest.h>

#include <ombrelia/OLoggerConfig.hpp>

#include <random>

#include "platform/url/UrlReference.hpp"
#include "proxy/OriginCredentials.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "proxy/RewrittenText.hpp"
#include "support/CpuTime.hpp"
#include "support/HeapGauge.hpp"

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

// Each URI costs its own length and what it is rewritten into, however long the playlist's URL.
// A URI with an "@" is also read as libcurl reads it, against the playlist's URL: read whole
// for each, 20,000 of them under a 40,000-byte path took 5.4 s of CPU. And a short relative URI
// under a 60,000-byte path resolves to a URL too long to proxy: built with its local form for
// each only to be thrown away, and logged one by one.
TEST(PlaylistRewriter, UrisUnderALongUrlCostTheirOwnLengthAndAreLoggedWithinTheCap) {
  PlaylistRewriter rewriter(8080);
  const Url at = url(("http://o.example/" + std::string(40000, 't') + "/m.m3u8").c_str());
  const Url tooLong = url(("http://o.example/" + std::string(60000, 't') + "/m.m3u8").c_str());
  std::string withCredentials = "#EXTM3U\n";
  std::string shortUris = "#EXTM3U\n";
  for (int i = 0; i < 20000; ++i) {
    withCredentials += "#EXTINF:1,\n//u:1\\@h/x\n";
    shortUris += "#EXTINF:1,\ns.ts\n";
  }
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::debug);
  testing::internal::CaptureStdout();
  const double start = test::threadCpuSeconds();
  const auto leftOut = rewriter.rewrite(withCredentials, at);
  const auto leftAsWritten = rewriter.rewrite(shortUris, tooLong);
  const double spent = test::threadCpuSeconds() - start;
  const std::string log = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);

  EXPECT_LT(spent, 1.0 * test::kSanitizerSlowdown) << "seconds of CPU for 40,000 URIs";
  ASSERT_TRUE(leftOut && leftAsWritten);
  EXPECT_EQ(leftOut->find("u:1"), std::string::npos) << "what libcurl reads as a password";
  EXPECT_TRUE(*leftAsWritten == shortUris) << "no local URL the server would refuse";
  size_t noLocalUrl = 0;
  for (size_t i = log.find("No local URL for"); i != std::string::npos;
       i = log.find("No local URL for", i + 1)) {
    ++noLocalUrl;
  }
  EXPECT_EQ(noLocalUrl, 16u) << log.substr(0, 3000);
  EXPECT_NE(log.find("not logged one by one: 19984"), std::string::npos) << log.substr(0, 2000);
}

// A playlist whose rewritten text may pass its bound is measured first: the measure must be the
// length the rewriting gives, or a playlist would be refused that could be served, or built only
// to be thrown away. Lines of every kind: URIs resolved, left as written (another scheme, not a
// URL, too long a local URL), left out (a user name and password libcurl would read), tag lines
// of several URI attributes, blank and indented lines, CR LF line ends, a byte-order mark.
TEST(PlaylistRewriter, MeasuredLengthIsTheLengthOfTheRewrittenText) {
  // One thread rewrites them all, so TSan has nothing to look for here: it reads a quarter of
  // the random playlists (still every kind of line), the other builds all of them.
#if defined(__SANITIZE_THREAD__)
  constexpr int kRandomPlaylists = 6;
#else
  constexpr int kRandomPlaylists = 24;
#endif
  OriginCredentials credentials;
  const PlaylistRewriter rewriter(8080, &credentials);
  const std::vector<std::string> bases = {
      "http://o.example/v/index.m3u8", "https://u:p@o.example:8443/a%FF/b/index.m3u8?q=%7C&r",
      "http://[::1]:81//lead/x.m3u8?a=b", "http://o.example/%C3%A9%41/v/x.m3u8",
      "http://o.example/" + std::string(60000, 'p') + "/m.m3u8"};
  // clang-format off
  const std::vector<std::string> uris = {
      "s.ts", "../a/b.ts?x=1#f", "//h.example/x", "https://c.example/%FF/\xC3\xA9.ts", "skd://key",
      "data:text/plain,x", "http://bad host/x", "//u:1\\@h/x", "http://u:p@h/x.ts", "", "?only",
      "#frag", "a b{|}`.ts", "/" + std::string(20000, 'q'), "%zz/%41.ts", "//u@h/x", "//1",
      "http://0x7f.1", "//[::1]", "HTTP:\\\\1.2/", "x'y.ts?a'b=&c"};
  const std::vector<std::string> tags = {
      "#EXT-X-KEY:METHOD=AES-128,URI=\"", "#EXT-X-MEDIA:TYPE=AUDIO,URI=\"", "#EXT-X-MAP:URI=\""};
  // clang-format on
  std::mt19937 random(53);
  auto pick = [&random](const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(random)];
  };
  // The most a playlist may take bounds each URI on its own, as a line and in a tag, those
  // escaped twice over too.
  std::vector<std::string> alone = uris;
  alone.push_back("a" + std::string(60, '\xFF'));
  alone.push_back("x?" + std::string(60, '\x01') + "#" + std::string(60, '"'));
  std::string escapes = "x";
  for (int i = 0; i < 30; ++i) escapes += "%FF\xC3\xA9";
  alone.push_back(escapes);
  for (const std::string& text : bases) {
    const Url base = url(text.c_str());
    for (const std::string& uri : alone) {
      for (const std::string& playlist :
           {"#EXTM3U\n" + uri, "#EXTM3U\n" + tags.front() + uri + "\"", "#EXTM3U\n\xFF" + uri,
            "#EXTM3U\n" + uri + "%FF\xC3\xA9 '#x"}) {
        const auto rewritten = rewriter.rewrite(playlist, base);
        ASSERT_TRUE(rewritten);
        EXPECT_LE(rewritten->size(), PlaylistRewriter::mostRewrittenBytes(playlist, base))
            << text.substr(0, 60) << "\n"
            << playlist;
      }
    }
  }
  for (int n = 0; n < kRandomPlaylists; ++n) {
    std::string playlist = n % 3 == 0 ? "\xEF\xBB\xBF#EXTM3U" : "#EXTM3U";
    const std::string lineEnd = n % 2 == 0 ? "\n" : "\r\n";
    for (int line = 0; line < 30; ++line) {
      switch (std::uniform_int_distribution<int>(0, 4)(random)) {
        case 0:
          playlist += lineEnd + pick(tags) + pick(uris) + "\",URI=\"" + pick(uris) + "\",X=1";
          break;
        case 1:
          playlist += lineEnd + (line % 2 == 0 ? "" : "  #EXTINF:1,");
          break;
        default:
          playlist += lineEnd + pick(uris);
      }
    }
    for (const std::string& text : bases) {
      const Url base = url(text.c_str());
      const auto rewritten = rewriter.rewrite(playlist, base);
      ASSERT_TRUE(rewritten);
      EXPECT_EQ(rewriter.rewrittenLength(playlist, base), rewritten->size())
          << text.substr(0, 60) << "\n"
          << playlist;
      EXPECT_LE(rewritten->size(), PlaylistRewriter::mostRewrittenBytes(playlist, base));
    }
  }
}

// A small playlist under a long URL, whose rewritten text would pass the bound, is refused as
// soon as its length is known, before any of it is built: it costs its own size. Built up to
// the bound before, 2,000 short URIs under a 40,000-byte path took 64 MiB to be refused.
TEST(PlaylistRewriter, PlaylistThatWouldPassTheBoundIsRefusedWithoutBeingBuilt) {
  const PlaylistRewriter rewriter(8080);
  const Url at = url(("http://o.example/" + std::string(40000, 't') + "/m.m3u8").c_str());
  std::string playlist = "#EXTM3U\n";
  for (int i = 0; i < 2000; ++i) playlist += "#EXTINF:1,\ns" + std::to_string(i) + ".ts\n";
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  test::HeapGauge heap;
  const auto rewritten = rewriter.rewrite(playlist, at);
  const size_t peak = heap.peakGrowth();
  const std::string log = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  EXPECT_FALSE(rewritten);
  EXPECT_NE(log.find("Playlist of " + std::to_string(playlist.size()) +
                     " bytes not served: rewritten, it would pass 67108864 bytes"),
            std::string::npos)
      << log;
  EXPECT_LT(peak, size_t{4} << 20)
      << "bytes held to refuse a " << playlist.size() << "-byte playlist";
}

TEST(RewrittenText, NeverHoldsMoreThanItsBoundWhateverOnePieceTakes) {
  RewrittenText text(100, 10);
  text.append(std::string(60, 'a'));
  EXPECT_FALSE(text.passed());
  text.append(std::string(60, 'b'));
  EXPECT_TRUE(text.passed()) << "a piece that passes the bound stops the text";
  text.append("c");
  EXPECT_LE(text.size(), 100u);
  EXPECT_EQ(std::move(text).take(), std::string(60, 'a'));
}

// Long runs of a URI are taken sixteen bytes at a time, short ones byte by byte: every byte
// must come out the same either way, in the path and in the query, in the local URL and in the
// origin URL's item, in the key the store finds the segment by, and in the room taken for it.
TEST(PlaylistRewriter, RewritesEachByteInALongRunAsInAShortOne) {
  const Url base = url("http://o.example/v/index.m3u8");
  const UrlReference references(base);
  const PlaylistRewriter rewriter(8080);
  // Not a hex digit: "%" before it starts no escape.
  const std::string run(24, 'z');
  auto withoutRuns = [](std::string text) {
    std::erase(text, 'z');
    return text;
  };
  auto key = [&](const std::string& line) {
    const auto resolved = references.resolution(line);
    return resolved ? resolved->key().tail : std::string("unread");
  };
  for (int c = 0; c < 256; ++c) {
    const std::string byte(1, static_cast<char>(c));
    for (const std::string before : {"p", "s.ts?p"}) {
      const std::string shortLine = before + byte + "q";
      const std::string longLine = before + run + byte + run + "q";
      EXPECT_EQ(withoutRuns(rewriter.processLine(longLine, base)),
                withoutRuns(rewriter.processLine(shortLine, base)))
          << "byte " << c << " after " << before;
      EXPECT_EQ(withoutRuns(key(longLine)), withoutRuns(key(shortLine)))
          << "byte " << c << " after " << before;
      // Each byte of the runs counts once in the text and twice for what it becomes.
      EXPECT_EQ(PlaylistRewriter::mostRewrittenBytes(longLine, base),
                PlaylistRewriter::mostRewrittenBytes(shortLine, base) + 3 * 2 * run.size())
          << "byte " << c << " after " << before;
    }
  }
}
