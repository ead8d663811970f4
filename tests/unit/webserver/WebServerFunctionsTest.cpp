#include "webserver/core/WebServerFunctions.hpp"

#include <gtest/gtest.h>

using namespace ombrelia;

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
      // An unclosed quote takes the rest; an escaped quote stays in the value.
      {"a; b=\"x\\\"y", "b", "x\"y"},
      {disposition, "name", "field"},
      {"form-data; filename=\"f\"", "name", std::nullopt},
      {digest, "nonce", "n1"},
      {digest, "cnonce", "c1"},
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
  EXPECT_TRUE(WebServerIsValidHeaderValue("text/html; charset=utf-8"));
  EXPECT_FALSE(WebServerIsValidHeaderValue("a\r\nSet-Cookie: x"));
  EXPECT_FALSE(WebServerIsValidHeaderValue("a\nb"));
  EXPECT_FALSE(WebServerIsValidHeaderValue(std::string("a\0b", 3)));
}

TEST(WebServerText, DecodesCharsetsAndRefusesInvalidUtf8) {
  EXPECT_EQ(WebServerStringEncodingFromCharset("ISO-8859-1"), WebServerStringEncoding::isoLatin1);
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
}

TEST(WebServerForm, KeepsItemsWithoutEqualsAndSkipsEmptyNamesWithoutSwallowingNeighbours) {
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

