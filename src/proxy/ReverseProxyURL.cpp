#include "proxy/ReverseProxyURL.hpp"

#include <algorithm>

#include <ombrelia/OmbreliaLogger.hpp>

namespace ombrelia {
namespace {

bool isHttpScheme(const Url& url) {
  return url.scheme() == "http" || url.scheme() == "https";
}

}  // namespace

std::string ReverseProxyURL::encodeQueryValue(std::string_view value) {
  return Url::percentEncode(value, "!$'()*+,;:@/?");
}

std::optional<Url> ReverseProxyURL::make(const Url& originURL, int port) {
  if (!isHttpScheme(originURL) || !originURL.host() || originURL.host()->empty()) {
    return std::nullopt;
  }
  Url local = originURL;
  local.setScheme("http");
  local.setHost(std::string("127.0.0.1"));
  local.setPort(port);
  std::string query = originURL.query().value_or("");
  if (!query.empty())
    query.push_back('&');
  query.append(kOriginURLKey).push_back('=');
  query.append(encodeQueryValue(originURL.toString()));
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
