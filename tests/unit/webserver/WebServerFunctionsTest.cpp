#include "webserver/core/WebServerFunctions.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstring>

#include "webserver/core/WebServerLog.hpp"

using namespace ombrelia;

TEST(WebServerHeaderValue, NormalisesOnlyTheMediaTypeAndTruncatesAtTheFirstSemicolon) {
  EXPECT_EQ(WebServerNormalizeHeaderValue("Text/HTML; Charset=UTF-8"), "text/html; Charset=UTF-8");
  EXPECT_EQ(WebServerNormalizeHeaderValue("CHUNKED"), "chunked");
  EXPECT_EQ(WebServerNormalizeHeaderValue(std::nullopt), std::nullopt);
  EXPECT_EQ(WebServerTruncateHeaderValue("Text/HTML; Charset=UTF-8"), "Text/HTML");
  EXPECT_EQ(WebServerTruncateHeaderValue("text/plain"), "text/plain");
}

TEST(WebServerHeaderValue, ExtractsParametersQuotedOrNotOnlyAtTheStartOfAParameter) {
  const std::string disposition = "form-data; filename=\"f.txt\"; name=\"field\"";
  const std::string digest =
      "Digest username=\"u\", realm=\"r\", cnonce=\"c1\", nonce=\"n1\", uri=\"/x\", nc=00000001";
  struct Case {
    std::string header;
    const char *name;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"multipart/form-data; boundary=XyZ", "boundary", "XyZ"},
      {"multipart/form-data; boundary=\"a b\"", "boundary", "a b"},
      {"text/plain; CHARSET=utf-8", "charset", "utf-8"},
      // An unquoted value ends at ";".
      {"text/plain; charset=utf-8;format=flowed", "charset", "utf-8"},
      {"text/plain; charset=utf-8;format=flowed", "format", "flowed"},
      // An unclosed quote takes the rest; an escaped quote stays in the value.
      {"a; b=\"x\\\"y", "b", "x\"y"},
      {"a; b=", "b", std::nullopt},
      {"a; c=1", "b", std::nullopt},
      {disposition, "name", "field"},
      {disposition, "filename", "f.txt"},
      {"form-data; filename=\"f\"", "name", std::nullopt},
      {digest, "nonce", "n1"},
      {digest, "cnonce", "c1"},
      {digest, "username", "u"},
      {digest, "nc", "00000001"},
      // Text inside a quoted value is never taken for a parameter.
      {"a; b=\"x; name=evil\"", "name", std::nullopt},
      // The value's first token is not a parameter.
      {"name=x", "name", std::nullopt},
  };
  for (const Case &c : cases)
    EXPECT_EQ(WebServerExtractHeaderValueParameter(c.header, c.name), c.expected)
        << c.header << " / " << c.name;
}

TEST(WebServerHeaderValue, RefusesHeaderInjectionCharacters) {
  EXPECT_TRUE(WebServerIsValidHeaderName("X-Custom_1"));
  EXPECT_FALSE(WebServerIsValidHeaderName("X Custom"));
  EXPECT_FALSE(WebServerIsValidHeaderName("X:Custom"));
  EXPECT_FALSE(WebServerIsValidHeaderName(""));
  EXPECT_TRUE(WebServerIsValidHeaderValue("text/html; charset=utf-8"));
  EXPECT_FALSE(WebServerIsValidHeaderValue("a\r\nSet-Cookie: x"));
  EXPECT_FALSE(WebServerIsValidHeaderValue("a\nb"));
  EXPECT_FALSE(WebServerIsValidHeaderValue(std::string("a\0b", 3)));
}

TEST(WebServerText, DecodesCharsetsAndRefusesInvalidUtf8) {
  EXPECT_EQ(WebServerStringEncodingFromCharset("ISO-8859-1"), WebServerStringEncoding::isoLatin1);
  EXPECT_EQ(WebServerStringEncodingFromCharset("us-ascii"), WebServerStringEncoding::ascii);
  EXPECT_EQ(WebServerStringEncodingFromCharset("klingon"), WebServerStringEncoding::utf8);
  EXPECT_EQ(WebServerStringEncodingFromCharset(std::nullopt), WebServerStringEncoding::utf8);
  EXPECT_EQ(WebServerDecodeText("caf\xe9", WebServerStringEncoding::isoLatin1), "caf\xc3\xa9");
  EXPECT_EQ(WebServerDecodeText("caf\xe9", WebServerStringEncoding::utf8), std::nullopt);
  EXPECT_EQ(WebServerDecodeText("\xc0\xaf", WebServerStringEncoding::utf8),
            std::nullopt); // overlong
  EXPECT_EQ(WebServerDecodeText("\xed\xa0\x80", WebServerStringEncoding::utf8), std::nullopt);
  EXPECT_EQ(WebServerDecodeText("\xe2\x82", WebServerStringEncoding::utf8), std::nullopt); // short
  EXPECT_EQ(WebServerDecodeText("\xe2\x82\xac", WebServerStringEncoding::utf8), "\xe2\x82\xac");
  EXPECT_EQ(WebServerDescribeData("hello", "text/plain; charset=utf-8"), "hello");
  EXPECT_EQ(WebServerDescribeData("\x01\x02\x03", "video/mp2t"), "<3 bytes>");
}

TEST(WebServerMimeType, KnowsTheStreamingAndWebTypes) {
  const std::pair<const char *, const char *> cases[] = {
      {"CSS", "text/css"},          {"", "application/octet-stream"},
      {"ts", "video/mp2t"},         {"m3u8", "application/vnd.apple.mpegurl"},
      {"m4s", "video/iso.segment"}, {"aac", "audio/aac"},
      {"MP4", "video/mp4"},         {"html", "text/html"},
      {"nothing-known", "application/octet-stream"}};
  for (const auto &[extension, type] : cases)
    EXPECT_EQ(WebServerGetMimeTypeForExtension(extension), type) << extension;
  const std::map<std::string, std::string> overrides = {{"ts", "text/x-typescript"}};
  EXPECT_EQ(WebServerGetMimeTypeForExtension("TS", &overrides), "text/x-typescript");
}

TEST(WebServerUrlEscaping, EscapesDelimitersAndDecodesOnlyValidUtf8) {
  EXPECT_EQ(WebServerEscapeURLString("a b:@/?&=+é"), "a%20b%3A%40%2F%3F%26%3D%2B%C3%A9");
  EXPECT_EQ(WebServerUnescapeURLString("a%20b+c"), "a b+c");
  EXPECT_EQ(WebServerUnescapeURLString("%zz"), std::nullopt);
  EXPECT_EQ(WebServerUnescapeURLString("%2"), std::nullopt);
  EXPECT_EQ(WebServerUnescapeURLString("%ff"), std::nullopt);
  EXPECT_EQ(WebServerUnescapeURLString("%C3%A9"), "é");
}

TEST(WebServerForm, ParsesItemsWithPlusAsSpaceAndLaterItemsWinning) {
  EXPECT_EQ(WebServerParseURLEncodedForm("a=1&b=2&a=3"), (WebServerQuery{{"a", "3"}, {"b", "2"}}));
  EXPECT_EQ(WebServerParseURLEncodedForm("x=a+b%2Bc"), (WebServerQuery{{"x", "a b+c"}}));
  EXPECT_EQ(WebServerParseURLEncodedForm("a="), (WebServerQuery{{"a", ""}}));
  EXPECT_EQ(WebServerParseURLEncodedForm(""), WebServerQuery{});
}

TEST(WebServerForm, KeepsItemsWithoutEqualsAndSkipsEmptyNamesWithoutSwallowingNeighbours) {
  EXPECT_EQ(WebServerParseURLEncodedForm("a"), (WebServerQuery{{"a", ""}}));
  EXPECT_EQ(WebServerParseURLEncodedForm("a=1&b&c=3"),
            (WebServerQuery{{"a", "1"}, {"b", ""}, {"c", "3"}}));
  EXPECT_EQ(WebServerParseURLEncodedForm("=1&a=2"), (WebServerQuery{{"a", "2"}}));
  EXPECT_EQ(WebServerParseURLEncodedForm("a=1&&b=2"), (WebServerQuery{{"a", "1"}, {"b", "2"}}));
  // The proxy's origin item must survive an origin query that ends in a bare word.
  const auto query =
      WebServerParseURLEncodedForm("token&__hls_origin_url=http%3A%2F%2Forigin%2Fa.m3u8%3Ftoken");
  EXPECT_EQ(query.at("__hls_origin_url"), "http://origin/a.m3u8?token");
  EXPECT_EQ(query.at("token"), "");
}

TEST(WebServerForm, SkipsAnItemThatDoesNotDecodeAndLogsIt) {
  std::vector<std::string> lines;
  WebServerSetBuiltInLogger([&](int, const std::string &message) { lines.push_back(message); });
  EXPECT_EQ(WebServerParseURLEncodedForm("a=%zz&b=2"), (WebServerQuery{{"b", "2"}}));
  WebServerSetBuiltInLogger(nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Failed parsing URL encoded form for key \"a\" and value \"%zz\"");
}

TEST(WebServerDigest, ComputesMd5AsLowerCaseHex) {
  EXPECT_EQ(WebServerComputeMD5Digest("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(WebServerComputeMD5Digest(""), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(WebServerPath, NormalisesDotsAndEmptyComponentsNeverAboveTheRoot) {
  EXPECT_EQ(WebServerNormalizePath("/a/./b/../c//"), "/a/c");
  EXPECT_EQ(WebServerNormalizePath("../x"), "x");
  EXPECT_EQ(WebServerNormalizePath("/../../etc/passwd"), "/etc/passwd");
  EXPECT_EQ(WebServerNormalizePath("/"), "/");
}

TEST(WebServerSockAddr, WritesNumericHostsWithAndWithoutThePort) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(8080);
  inet_pton(AF_INET, "127.0.0.1", &v4.sin_addr);
  const std::string v4Bytes(reinterpret_cast<const char *>(&v4), sizeof(v4));
  EXPECT_EQ(WebServerStringFromSockAddr(v4Bytes, true), "127.0.0.1:8080");
  EXPECT_EQ(WebServerStringFromSockAddr(v4Bytes, false), "127.0.0.1");

  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(443);
  inet_pton(AF_INET6, "::1", &v6.sin6_addr);
  EXPECT_EQ(WebServerStringFromSockAddr(
                std::string(reinterpret_cast<const char *>(&v6), sizeof(v6)), true),
            "::1:443");
  EXPECT_EQ(WebServerStringFromSockAddr("", true), "");
  EXPECT_EQ(WebServerStringFromSockAddr(v4Bytes.substr(0, 4), true), "");
}

TEST(WebServerSockAddr, PrimaryAddressIsNeverLoopback) {
  const auto address = WebServerGetPrimaryIPAddress(false);
  if (address) {
    EXPECT_NE(*address, "127.0.0.1");
  }
  const auto address6 = WebServerGetPrimaryIPAddress(true);
  if (address6) {
    EXPECT_NE(*address6, "::1");
  }
}
