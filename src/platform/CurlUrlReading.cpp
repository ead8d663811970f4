#include "platform/CurlUrlReading.hpp"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "platform/url/UriCharacters.hpp"

namespace ombrelia::platform {
namespace {

using UrlHandle = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

std::optional<std::string> part(CURLU* handle, CURLUPart which, unsigned int flags = 0) {
  char* text = nullptr;
  if (curl_url_get(handle, which, &text, flags) != CURLUE_OK || text == nullptr) {
    return std::nullopt;
  }
  std::string value(text);
  curl_free(text);
  return value;
}

std::string loweredText(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// An IPv6 address has more than one spelling ("::ffff:127.0.0.1" and "::ffff:7f00:1"), and
// libcurl keeps the one it was given: addresses are compared, not their text.
bool sameHost(const std::string& a, const std::string& b) {
  if (a.find(':') == std::string::npos && b.find(':') == std::string::npos) return a == b;
  in6_addr first{};
  in6_addr second{};
  return inet_pton(AF_INET6, a.c_str(), &first) == 1 &&
         inet_pton(AF_INET6, b.c_str(), &second) == 1 &&
         std::memcmp(&first, &second, sizeof first) == 0;
}

}  // namespace

std::optional<CurlUrlReading> CurlUrlReading::of(const std::string& text, const std::string* base) {
  UrlHandle handle(curl_url(), &curl_url_cleanup);
  if (!handle) return std::nullopt;
  if (base != nullptr && curl_url_set(handle.get(), CURLUPART_URL, base->c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return std::nullopt;
  const auto scheme = part(handle.get(), CURLUPART_SCHEME);
  const auto host = part(handle.get(), CURLUPART_HOST);
  const auto port = part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host || !port || port->empty() ||
      port->find_first_not_of("0123456789") != std::string::npos || port->size() > 5) {
    return std::nullopt;
  }
  CurlUrlReading reading;
  reading.scheme_ = loweredText(*scheme);
  reading.host_ = loweredText(*host);
  reading.origin_ = reading.scheme_ + "://" + reading.host_ + ":" + *port;
  if (reading.host_.size() >= 2 && reading.host_.front() == '[' && reading.host_.back() == ']') {
    reading.host_ = reading.host_.substr(1, reading.host_.size() - 2);
  }
  reading.port_ = std::stoi(*port);
  reading.zoned_ = part(handle.get(), CURLUPART_ZONEID).has_value();
  // libcurl refuses to decode an escape of a control byte (and then sends nothing): such a part
  // is there all the same, and agrees with no reading.
  const auto credential = [&](CURLUPart which, std::optional<std::string>& decoded) {
    if (!part(handle.get(), which)) return;
    decoded = part(handle.get(), which, CURLU_URLDECODE);
    if (!decoded) reading.undecodable_ = true;
  };
  credential(CURLUPART_USER, reading.user_);
  credential(CURLUPART_PASSWORD, reading.password_);
  return reading;
}

bool CurlUrlReading::holdsCredentials() const {
  return user_.has_value() || password_.has_value() || undecodable_;
}

bool CurlUrlReading::agreesWith(const Url& url) const {
  if (zoned_ || undecodable_ || url.scheme() != scheme_ || !url.host()) return false;
  if (url.port().value_or(url.scheme() == "https" ? 443 : 80) != port_) return false;
  if (!sameHost(loweredText(*url.host()), host_)) return false;
  std::string user;
  std::string password;
  if (url.userInfo()) {
    const std::string& userInfo = *url.userInfo();
    const size_t colon = userInfo.find(':');
    user = UriCharacters::percentDecoded(std::string_view(userInfo).substr(0, colon));
    if (colon != std::string::npos) {
      password = UriCharacters::percentDecoded(std::string_view(userInfo).substr(colon + 1));
    }
  }
  return user == user_.value_or("") && password == password_.value_or("");
}

bool CurlUrlReading::readsNoOtherCredentials(std::string_view text, const Url& url,
                                             const std::string* base) {
  // Both take a user name and password only from before an "@".
  if (text.find('@') == std::string_view::npos) return true;
  const auto curl = of(std::string(text), base);
  // Text libcurl refuses it never reads credentials from.
  return !curl || curl->agreesWith(url);
}

}  // namespace ombrelia::platform
