// Playlist references read as players read them, from any bytes: what the reader gives must read
// back to itself, mean the same against any base, and survive the trip through the player's
// local URL to come back to the proxy unchanged. The input is a reference, or a base, a NUL and
// a reference.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/url/UrlReference.hpp"
#include "proxy/OriginCredentials.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "webserver/core/WebServerFunctions.hpp"

namespace {

using ombrelia::Url;
using ombrelia::UrlReference;

bool sameComponents(const Url& a, const Url& b) {
  return a.scheme() == b.scheme() && a.userInfo() == b.userInfo() && a.host() == b.host() &&
         a.port() == b.port() && a.path() == b.path() && a.query() == b.query() &&
         a.fragment() == b.fragment();
}

// What a player sends and a URL holds: no spaces, controls, non-ASCII or angle brackets.
bool isSendable(std::string_view text) {
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7F || c == '<' || c == '>') return false;
  }
  return true;
}

// The player asks the proxy for the local URL; the proxy's server reads the origin URL back out,
// without the user name and password, which the proxy keeps apart. Only origin URLs up to the
// length the proxy promises to serve are sure of a local URL.
bool comesBackThroughTheProxy(const Url& resolved) {
  const auto local = ombrelia::ReverseProxyURL::make(resolved, 8080);
  if (!local) return resolved.toString().size() > ombrelia::ReverseProxyURL::kMaxOriginURLBytes;
  // A player's request line holds the path and query only.
  const auto target = Url::parse(local->path() + "?" + local->query().value_or(""));
  if (!target || !ombrelia::WebServerUnescapeURLString(target->path())) return false;
  const auto query = ombrelia::WebServerParseURLEncodedForm(target->query().value_or(""));
  const auto item = query.find(std::string(ombrelia::ReverseProxyURL::kOriginURLKey));
  if (item == query.end()) return false;
  const auto origin = ombrelia::ReverseProxyURL::originURL(item->second);
  return origin && sameComponents(*origin, ombrelia::OriginCredentials::withoutUserInfo(resolved));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string_view reference =
      split == std::string_view::npos ? input : input.substr(split + 1);
  const auto written =
      split == std::string_view::npos ? std::optional<Url>() : Url::parse(input.substr(0, split));
  static const Url kPlaylist = *Url::parse("http://o.example/v/index.m3u8");
  static const Url kOther = *Url::parse("https://u:p@[::1]:8443/a/b?q#f");
  const Url& base = written && written->isAbsolute() ? *written : kPlaylist;

  const auto resolved = UrlReference(base).resolve(reference);
  if (!resolved) return 0;
  const Url& url = resolved.value();
  const std::string text = url.toString();
  if ((url.scheme() != "http" && url.scheme() != "https") || !url.host() || url.host()->empty() ||
      !url.path().starts_with('/') || !isSendable(text)) {
    __builtin_trap();
  }
  // Reading the result again, with or without a base, changes nothing.
  const auto again = UrlReference::read(text);
  if (!again || !sameComponents(again.value(), url) || again->toString() != text) __builtin_trap();
  for (const Url* other : {&base, &kOther}) {
    const auto resolvedAgain = UrlReference(*other).resolve(text);
    if (!resolvedAgain || !sameComponents(resolvedAgain.value(), url)) __builtin_trap();
  }
  if (!comesBackThroughTheProxy(url)) __builtin_trap();
  return 0;
}
