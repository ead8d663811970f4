#include "proxy/ReverseProxyURL.hpp"

#include <algorithm>

#include <ombrelia/OmbreliaLogger.hpp>

#include "proxy/OriginCredentials.hpp"
#include "webserver/core/WebServerRequestHeadParser.hpp"

namespace ombrelia {
namespace {

bool isHttpScheme(const Url& url) {
  return url.scheme() == "http" || url.scheme() == "https";
}

// A player may send the local URL in absolute form, and HEAD is the longest method it sends.
constexpr size_t kRequestLineOverhead = std::string_view("HEAD  HTTP/1.1").size();
constexpr size_t kMaxLocalURLBytesServed =
    WebServerRequestHeadParser::kMaxRequestLineBytes - kRequestLineOverhead;
static_assert(ReverseProxyURL::kMaxLocalURLBytes <= kMaxLocalURLBytesServed,
              "the server must accept the local URL of every origin URL the proxy promises");

}  // namespace

std::string ReverseProxyURL::encodeQueryValue(std::string_view value) {
  return Url::percentEncode(value, "!$'()*+,;:@/?");
}

std::optional<Url> ReverseProxyURL::make(const Url& originURL, int port) {
  if (!isHttpScheme(originURL) || !originURL.host() || originURL.host()->empty()) {
    return std::nullopt;
  }
  Url local = OriginCredentials::withoutUserInfo(originURL);
  const std::string origin = local.toString();
  local.setScheme("http");
  local.setHost(std::string("127.0.0.1"));
  local.setPort(port);
  std::string query = originURL.query().value_or("");
  if (!query.empty())
    query.push_back('&');
  query.append(kOriginURLKey).push_back('=');
  query.append(encodeQueryValue(origin));
  const size_t length =
      std::string_view("http://127.0.0.1:65535?").size() + local.path().size() + query.size();
  if (length > kMaxLocalURLBytesServed) {
    // A URL the server would answer with 414 is no URL to hand out: say so here, once.
    OmbreliaLogger::error("No local URL for an origin URL of " + std::to_string(origin.size()) +
                              " bytes on " + originURL.scheme() + "://" + *originURL.host() +
                              ": its local form would take " + std::to_string(length) +
                              " bytes, more than the " + std::to_string(kMaxLocalURLBytesServed) +
                              " the proxy accepts",
                          OLogModule::proxy);
    return std::nullopt;
  }
  local.setQuery(std::move(query));
  return local;
}

std::optional<Url> ReverseProxyURL::originURL(std::string_view decodedQueryValue) {
  // The writer leaves "+" unencoded and the form parser reads it as a space: turn it back.
  std::string text(decodedQueryValue);
  std::replace(text.begin(), text.end(), ' ', '+');
  auto url = Url::parseAbsolute(text);
  if (!url || !isHttpScheme(*url))
    return std::nullopt;
  OmbreliaLogger::debug("original url request: " + url->toString(), OLogModule::proxy);
  return url;
}

}  // namespace ombrelia
