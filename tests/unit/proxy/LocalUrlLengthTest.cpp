// The length of a URI's local URL, worked out from its own part and its playlist's URL measured
// once: it must be what building the local URL gives, or a URI would be left as written that
// could be proxied, or built only to be thrown away.
#include "proxy/LocalUrlLength.hpp"

#include <gtest/gtest.h>

#include <random>

#include "proxy/OriginCredentials.hpp"
#include "proxy/ReverseProxyURL.hpp"

namespace ombrelia {
namespace {

TEST(LocalUrlLength, IsTheLengthOfTheLocalUrlAsBuilt) {
  // Bases whose path and query hold what the local URL escapes (raw or as escapes that do not
  // decode to UTF-8), a path starting with "//", an IPv6 host and a port.
  const std::vector<std::string> bases = {
      "http://o.example/v/index.m3u8",
      "https://u:p@o.example:8443/a%FF/b%C3%A9/%zz/c/index.m3u8?q=%7C&r",
      "http://[2001:db8::1]:8080//lead/x.m3u8?a=b#frag",
      "http://o.example/%E2%82/partial/x.m3u8",
      "http://o.example/" + std::string(3000, 'p') + "/%25/x.m3u8?" + std::string(500, 'q'),
      "http://o.example",
  };
  // clang-format off
  const std::vector<std::string> pieces = {
      "a", "/", "../", "./", "?", "#", "%", "%4", "%41", "%FF", "%C3%A9", "%E2%82", "{", "|", "`",
      "\xC3\xA9", "\xFF", "&", "=", "+", "[", "]", "//", "..", "\\", "'", "\"", " ", "~", ":",
      "@", "$"};
  const std::vector<std::string> prefixes = {
      "", "", "", "/", "//", "?", "#", "../", "http://h.example/", "//h.example:81", "https://[::1]/"};
  // clang-format on
  std::mt19937 random(53);
  auto pick = [&random](const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(random)];
  };
  std::vector<std::string> references = {"", "s.ts", "..", "?", "#", "//", "/", "a/..", "%FF"};
  for (int i = 0; i < 1500; ++i) {
    std::string reference = pick(prefixes);
    for (int n = std::uniform_int_distribution<int>(1, 10)(random); n > 0; --n) {
      reference += pick(pieces);
    }
    references.push_back(std::move(reference));
  }
  size_t measured = 0;
  for (const std::string& text : bases) {
    const UrlReference base(UrlReference::read(text).value());
    const LocalUrlLength lengths(base);
    for (const std::string& reference : references) {
      const auto resolved = base.resolution(reference);
      if (!resolved) continue;
      const Url url = OriginCredentials::withoutUserInfo(resolved->url());
      const auto figures = lengths.of(resolved.value());
      EXPECT_EQ(figures.originBytes, url.toString().size()) << text << "  " << reference;
      EXPECT_EQ(figures.localBytes, ReverseProxyURL::localLength(url)) << text << "  " << reference;
      ++measured;
    }
  }
  EXPECT_GT(measured, references.size() * 3);
}

}  // namespace
}  // namespace ombrelia
