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

// `head` followed by `filler`, repeated and cut, up to `length` bytes in all.
std::string padded(std::string head, std::string_view filler, size_t length) {
  while (head.size() < length) head.append(filler.substr(0, length - head.size()));
  return head;
}

TEST(LongOriginUrl, PlaylistsAndSegmentsWithSixteenKibUrlsPlayByteExact) {
  TestHttpServer origin;
  // Targets that make origin URLs of 16 KiB: a CloudFront-style policy and signature, a token in
  // the path, a query of nothing but characters the item's value escapes, and one of characters
  // that a browser leaves raw in a query and both copies in the local URL escape.
  const size_t length = ReverseProxyURL::kMaxOriginURLBytes - origin.url("").size();
  const auto signedTarget = [&](const std::string& path) {
    const std::string tail = "&Signature=Nw2-cL~qx9_Zk0&Key-Pair-Id=K";
    return padded(path + "?Policy=", "eyJTdGF0ZW1lbnQiOlt7-_~", length - tail.size()) + tail;
  };
  const std::string master = signedTarget("/v/master.m3u8");
  const std::string variant = signedTarget("/v/low/index.m3u8");
  const std::string s0 = signedTarget("/v/low/s0.ts");
  const std::string s1 = padded("/v/low/", "tok3n-", length - 6) + "/s1.ts";
  const std::string s2 = padded("/v/low/s2.ts?", "&=", length);
  const std::string s3 = padded("/v/low/s3.ts?", "|{", length);
  std::string media(5000, '\0');
  for (size_t i = 0; i < media.size(); ++i) media[i] = static_cast<char>(i * 7 % 256);
  const auto serve = [&](const std::string& target, const std::string& body) {
    origin.route(target.substr(0, target.find('?')), [target, body](const TestHttpRequest& r) {
      TestHttpResponse answer = TestHttpResponse::ok(
          body, target.ends_with(".ts") ? "video/mp2t" : "application/vnd.apple.mpegurl");
      if (r.target != target) answer.status = 403;  // the signature did not arrive intact
      return answer;
    });
  };
  const auto lines = [](const std::vector<std::string>& uris) {
    std::string playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n";
    for (const auto& uri : uris) playlist += "#EXTINF:2,\n" + uri + "\n";
    return playlist;
  };
  serve(master, lines({variant.substr(3)}));
  serve(variant, lines({s0.substr(7), s1.substr(7), s2.substr(7), s3.substr(7)}));
  for (const auto& segment : {s0, s1, s2, s3}) serve(segment, media + segment.substr(0, 9));

  ProxyFixture proxy(ProxyFixture::Settings{.level = std::nullopt});
  const auto local = [&](const std::string& target) { return proxy.local(origin.url(target)); };
  const Fetched fetchedMaster = fetchWithCurl(local(master));
  EXPECT_EQ(fetchedMaster.status, 200);
  EXPECT_EQ(fetchedMaster.body, lines({local(variant)}));
  EXPECT_EQ(fetchWithCurl(local(variant)).body,
            lines({local(s0), local(s1), local(s2), local(s3)}));
  for (const auto& segment : {s0, s1, s2, s3}) {
    const Fetched fetched = fetchWithCurl(local(segment));
    EXPECT_EQ(fetched.status, 200) << segment.substr(0, 40);
    EXPECT_TRUE(fetched.body == media + segment.substr(0, 9)) << segment.substr(0, 40);
  }
}

// Past what the server accepts, a local URL would only earn the player a 414: there is none,
// and the log says why.
TEST(LongOriginUrl, OneTooLongToServeGetsNoLocalUrlAndALogLine) {
  const std::string base = "http://o.example/v/";
  const std::string tooLong = padded(base + "s.ts?", "&=", ReverseProxyURL::kMaxOriginURLBytes * 2);
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
