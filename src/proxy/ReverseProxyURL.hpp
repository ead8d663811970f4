#pragma once
// Any thread: pure functions.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <ombrelia/Url.hpp>

namespace ombrelia {

// The local URL handed to the player for one origin resource: http://127.0.0.1:<port>, the
// origin's path as written, the origin's own query, then one more item "__hls_origin_url"
// whose value is the whole origin URL. The reader takes that item back out.
class ReverseProxyURL {
 public:
  static constexpr std::string_view kOriginURLKey = "__hls_origin_url";
  // Origin URLs up to this length always get a local URL the proxy serves: signed CDN URLs (a
  // CloudFront policy and signature, a token in the path) run to several KiB.
  static constexpr size_t kMaxOriginURLBytes = 16 * 1024;
  // The longest local URL of such an origin URL, its port at most five digits: the path and
  // query once, where every byte our server would refuse raw ("{", "|", "[", ...) takes three,
  // then the whole origin URL again as the item's value, where "&", "=", "%", "#", "[" and "]"
  // take three bytes each.
  static constexpr size_t kMaxLocalURLBytes = std::string_view("http://127.0.0.1:65535?&=").size() +
                                              kOriginURLKey.size() + 6 * kMaxOriginURLBytes;

  // The longest local URL our server reads back: its request line less the method and version.
  static const size_t kMaxLocalURLBytesServed;

  // `originURL` is read as browsers read it (UrlReference), as the way back reads it. The local
  // URL carries no user name or password, neither its own nor inside the item: the caller keeps
  // them (OriginCredentials). Absent when the origin URL is not an absolute http(s) URL, or
  // when the local URL would be longer than the proxy accepts (localLength(): the caller says
  // so, once).
  static std::optional<Url> make(const Url& originURL, int port);
  // What make() measures against kMaxLocalURLBytesServed: the local URL's length with a
  // five-digit port, without its fragment.
  static size_t localLength(const Url& originURL);
  // The line that says an origin URL of `originBytes` on `origin` ("https://host") gets no local
  // URL, its local form taking `localBytes`.
  static std::string tooLongLine(size_t originBytes, std::string_view origin, size_t localBytes);

  // How each byte is written into the local URL, one by one, so that a local URL's length can
  // be worked out piece by piece (LocalUrlLength): whether our server takes the byte at `i` of
  // a path, query or fragment as it is (else it is escaped, three bytes), and whether the item's
  // value keeps a byte of the origin URL as it is (likewise).
  static bool isTakenByLocalServer(std::string_view component, size_t i);
  static bool isKeptInQueryValue(char c);

  // The origin URL from the value of the "__hls_origin_url" query item as the server's form
  // parser hands it over ("+" already turned into a space, then percent-decoded once), read as
  // browsers read it, without any user name and password written into it. Only http and https
  // URLs are accepted: anything else would make the proxy an open relay. Absent (and logged)
  // when there is none.
  static std::optional<Url> originURL(std::string_view decodedQueryValue);

  // How a query item value is written: percent-encoded except for the characters a URL query
  // allows; "&" and "=" are encoded, "+" is not.
  static std::string encodeQueryValue(std::string_view value);
};

}  // namespace ombrelia
