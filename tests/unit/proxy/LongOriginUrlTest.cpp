// Signed CDN URLs: a policy and a signature in the query, or a token in the path, make origin
// URLs of many KiB, which the local URL holds twice.
#include <gtest/gtest.h>

#include <ombrelia/OLoggerConfig.hpp>

#include "proxy/PlaylistRewriter.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "support/ProxyFixture.hpp"
#include "support/TestHttpServer.hpp"

namespace ombrelia::test {
namespace {

constexpr size_t kLongest = ReverseProxyURL::kMaxOriginURLBytes;

// `head` followed by `filler`, repeated and cut, up to `length` bytes in all.
std::string padded(std::string head, std::string_view filler, size_t length) {
  while (head.size() < length) head.append(filler.substr(0, length - head.size()));
  return head;
}

// A CloudFront-style query that makes `path` on `origin` a URL of exactly `length` bytes.
std::string signedTarget(const TestHttpServer& origin, const std::string& path, size_t length) {
  const std::string tail =
      "&Signature=" + padded("", "Nw2-cL~qx9_Zk0", 344) + "&Key-Pair-Id=APKAEIBAERJR2EXAMPLE";
  return padded(path + "?Expires=2145916800&Policy=", "eyJTdGF0ZW1lbnQiOlt7IlJlc291cmNl-_~",
                length - origin.url("").size() - tail.size()) +
         tail;
}

TEST(LongOriginUrl, PlaylistsAndSegmentsWithSixteenKibUrlsPlayByteExact) {
  TestHttpServer origin;
  std::string media(5000, '\0');
  for (size_t i = 0; i < media.size(); ++i) media[i] = static_cast<char>(i * 7 % 256);
  const std::string master = signedTarget(origin, "/v/master.m3u8", kLongest);
  const std::string variant = signedTarget(origin, "/v/low/index.m3u8", kLongest);
  const std::string s0 = signedTarget(origin, "/v/low/s0.ts", kLongest);
  // A token in the path, and a query of nothing but characters the local URL escapes.
  std::string s1 = padded("/v/low/", "tok3n-segment/",
                          kLongest - origin.url("").size() - std::string_view("/s1.ts").size());
  s1.back() = 'z';
  s1 += "/s1.ts";
  const std::string s2 = padded("/v/low/s2.ts?", "&=", kLongest - origin.url("").size());
  for (const auto& target : {master, variant, s0, s1, s2}) {
    ASSERT_EQ(origin.url(target).size(), kLongest);
  }
  const auto serve = [&](const std::string& target, const std::string& body, const char* type) {
    const std::string path = target.substr(0, target.find('?'));
    origin.route(path, [target, body, type](const TestHttpRequest& request) {
      if (request.target == target) return TestHttpResponse::ok(body, type);
      TestHttpResponse refused = TestHttpResponse::ok("signature mismatch", "text/plain");
      refused.status = 403;
      return refused;
    });
  };
  const char* playlistType = "application/vnd.apple.mpegurl";
  serve(master,
        "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=500000,RESOLUTION=640x360\n" +
            variant.substr(std::string_view("/v/").size()) + "\n",
        playlistType);
  const std::string relative = "/v/low/";
  serve(variant,
        "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n" + s0.substr(relative.size()) +
            "\n#EXTINF:2,\n" + s1.substr(relative.size()) + "\n#EXTINF:2,\n" +
            s2.substr(relative.size()) + "\n#EXT-X-ENDLIST\n",
        playlistType);
  for (const auto& segment : {s0, s1, s2})
    serve(segment, media + segment.substr(0, 9), "video/mp2t");

  ProxyFixture proxy;
  const auto local = [&](const std::string& target) { return proxy.local(origin.url(target)); };
  const Fetched pinned = fetchWithCurl(local(master));
  ASSERT_EQ(pinned.status, 200) << pinned.body.substr(0, 200);
  EXPECT_EQ(pinned.body, "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=500000,RESOLUTION=640x360\n" +
                             local(variant) + "\n");
  const Fetched index = fetchWithCurl(local(variant));
  ASSERT_EQ(index.status, 200) << index.body.substr(0, 200);
  EXPECT_EQ(index.body, "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n" + local(s0) +
                            "\n#EXTINF:2,\n" + local(s1) + "\n#EXTINF:2,\n" + local(s2) +
                            "\n#EXT-X-ENDLIST\n");
  for (const auto& segment : {s0, s1, s2}) {
    const Fetched fetched = fetchWithCurl(local(segment));
    EXPECT_EQ(fetched.status, 200) << segment.substr(0, 40);
    EXPECT_TRUE(fetched.body == media + segment.substr(0, 9)) << segment.substr(0, 40);
  }
  EXPECT_EQ(origin.requestCount(), 5u) << "each asked once, with its signature intact";
}

// Past what the server accepts, a local URL would only earn the player a 414: there is none,
// and the log says why.
TEST(LongOriginUrl, OneTooLongToServeGetsNoLocalUrlAndALogLine) {
  const std::string base = "http://o.example/v/";
  const std::string tooLong = padded(base + "s.ts?", "&=", kLongest + kLongest / 2);
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  const auto refused = ReverseProxyURL::make(*Url::parse(tooLong), 8080);
  const std::string line = PlaylistRewriter(8080).processLine(tooLong.substr(base.size()),
                                                              *Url::parse(base + "index.m3u8"));
  const std::string log = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);

  EXPECT_FALSE(refused);
  EXPECT_EQ(line, tooLong.substr(base.size())) << "the playlist line stays as written";
  EXPECT_NE(log.find("No local URL for an origin URL of " + std::to_string(tooLong.size()) +
                     " bytes on http://o.example"),
            std::string::npos)
      << log.substr(0, 300);
}

}  // namespace
}  // namespace ombrelia::test
