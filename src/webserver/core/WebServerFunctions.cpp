#include "webserver/core/WebServerFunctions.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>

#include <ombrelia/Url.hpp>

#include "platform/url/UrlPath.hpp"
#include "platform/url/Utf8.hpp"
#include "webserver/core/WebServerLog.hpp"

namespace ombrelia {
namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string lowerCased(std::string_view text) {
  std::string result(text);
  for (char &c : result)
    c = asciiLower(c);
  return result;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

} // namespace

std::optional<std::string> WebServerNormalizeHeaderValue(std::optional<std::string_view> value) {
  if (!value)
    return std::nullopt;
  const size_t semicolon = value->find(';');
  if (semicolon == std::string_view::npos)
    return lowerCased(*value);
  return lowerCased(value->substr(0, semicolon)) + std::string(value->substr(semicolon));
}

std::optional<std::string> WebServerTruncateHeaderValue(std::optional<std::string_view> value) {
  if (!value)
    return std::nullopt;
  return std::string(value->substr(0, value->find(';')));
}

std::optional<std::string> WebServerExtractHeaderValueParameter(std::string_view value,
                                                                std::string_view name) {
  if (name.empty())
    return std::nullopt;
  size_t i = 0;
  const size_t n = value.size();
  while (i < n) {
    const char c = value[i];
    if (c == '"') {
      // Skip a quoted string outside a parameter value: nothing inside it is a name.
      ++i;
      while (i < n && value[i] != '"')
        i += (value[i] == '\\' && i + 1 < n) ? 2 : 1;
      ++i;
      continue;
    }
    const bool atParameterStart =
        i > 0 && (value[i - 1] == ';' || value[i - 1] == ',' || isSpace(value[i - 1])) &&
        !isSpace(c) && c != ';' && c != ',';
    if (!atParameterStart || i + name.size() >= n ||
        !WebServerCaseInsensitiveLess::equals(value.substr(i, name.size()), name) || value[i + name.size()] != '=') {
      ++i;
      continue;
    }
    size_t p = i + name.size() + 1;
    while (p < n && (value[p] == ' ' || value[p] == '\t'))
      ++p;
    std::string result;
    if (p < n && value[p] == '"') {
      ++p;
      while (p < n && value[p] != '"') {
        if (value[p] == '\\' && p + 1 < n)
          ++p;
        result.push_back(value[p]);
        ++p;
      }
    } else {
      while (p < n && value[p] != ';' && value[p] != ',' && !isSpace(value[p])) {
        result.push_back(value[p]);
        ++p;
      }
    }
    if (result.empty())
      return std::nullopt;
    return result;
  }
  return std::nullopt;
}

std::string_view WebServerTrimWhitespace(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

bool WebServerIsValidHeaderName(std::string_view name) {
  if (name.empty())
    return false;
  static constexpr std::string_view kTokenSymbols = "!#$%&'*+-.^_`|~";
  for (char c : name) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum && kTokenSymbols.find(c) == std::string_view::npos)
      return false;
  }
  return true;
}

bool WebServerIsValidHeaderValue(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

WebServerStringEncoding
WebServerStringEncodingFromCharset(std::optional<std::string_view> charset) {
  if (!charset)
    return WebServerStringEncoding::utf8;
  const std::string name = lowerCased(*charset);
  if (name == "us-ascii" || name == "ascii" || name == "ansi_x3.4-1968") {
    return WebServerStringEncoding::ascii;
  }
  if (name == "iso-8859-1" || name == "iso_8859-1" || name == "latin1" || name == "l1" ||
      name == "iso-latin-1") {
    return WebServerStringEncoding::isoLatin1;
  }
  return WebServerStringEncoding::utf8;
}

std::optional<std::string> WebServerDecodeText(std::string_view bytes,
                                               WebServerStringEncoding encoding) {
  switch (encoding) {
  case WebServerStringEncoding::utf8:
    if (!Utf8::isValid(bytes))
      return std::nullopt;
    return std::string(bytes);
  case WebServerStringEncoding::ascii:
    for (char c : bytes) {
      if (static_cast<uint8_t>(c) >= 0x80)
        return std::nullopt;
    }
    return std::string(bytes);
  case WebServerStringEncoding::isoLatin1: {
    std::string text;
    text.reserve(bytes.size());
    for (char c : bytes) {
      const auto u = static_cast<uint8_t>(c);
      if (u < 0x80) {
        text.push_back(c);
      } else {
        text.push_back(static_cast<char>(0xC0 | (u >> 6)));
        text.push_back(static_cast<char>(0x80 | (u & 0x3F)));
      }
    }
    return text;
  }
  }
  return std::nullopt;
}

bool WebServerIsTextContentType(std::string_view type) {
  return type.starts_with("text/") || type.starts_with("application/json") ||
         type.starts_with("application/xml");
}

std::string WebServerDescribeData(std::string_view bytes, std::string_view type) {
  if (WebServerIsTextContentType(type)) {
    auto charset = WebServerExtractHeaderValueParameter(type, "charset");
    if (auto text = WebServerDecodeText(bytes, WebServerStringEncodingFromCharset(charset))) {
      return *text;
    }
  }
  // Appended: GCC 12 at -O3 takes `"<" + std::string` for an overlapping copy.
  std::string described = "<";
  return described.append(std::to_string(bytes.size())).append(" bytes>");
}

std::string WebServerGetMimeTypeForExtension(std::string_view extension,
                                             const std::map<std::string, std::string> *overrides) {
  static constexpr std::string_view kOctetStream = "application/octet-stream";
  if (extension.empty())
    return std::string(kOctetStream);
  const std::string key = lowerCased(extension);
  if (overrides != nullptr) {
    if (auto it = overrides->find(key); it != overrides->end())
      return it->second;
  }
  // The table stands in for the platform's type registry: the web's and the streaming
  // formats' usual types. Never destroyed: responses may still be made while the process exits.
  static const auto *kTable = new std::map<std::string_view, std::string_view>{
      {"aac", "audio/aac"},
      {"avi", "video/x-msvideo"},
      {"bin", "application/octet-stream"},
      {"bmp", "image/bmp"},
      {"css", "text/css"},
      {"csv", "text/csv"},
      {"gif", "image/gif"},
      {"gz", "application/gzip"},
      {"htm", "text/html"},
      {"html", "text/html"},
      {"ico", "image/vnd.microsoft.icon"},
      {"jpeg", "image/jpeg"},
      {"jpg", "image/jpeg"},
      {"js", "text/javascript"},
      {"json", "application/json"},
      {"m3u", "audio/x-mpegurl"},
      {"m3u8", "application/vnd.apple.mpegurl"},
      {"m4a", "audio/mp4"},
      {"m4s", "video/iso.segment"},
      {"m4v", "video/x-m4v"},
      {"md", "text/markdown"},
      {"mov", "video/quicktime"},
      {"mp3", "audio/mpeg"},
      {"mp4", "video/mp4"},
      {"mpd", "application/dash+xml"},
      {"pdf", "application/pdf"},
      {"png", "image/png"},
      {"svg", "image/svg+xml"},
      {"tar", "application/x-tar"},
      {"ts", "video/mp2t"},
      {"txt", "text/plain"},
      {"vtt", "text/vtt"},
      {"wasm", "application/wasm"},
      {"wav", "audio/wav"},
      {"webm", "video/webm"},
      {"webp", "image/webp"},
      {"woff", "font/woff"},
      {"woff2", "font/woff2"},
      {"xml", "application/xml"},
      {"zip", "application/zip"},
  };
  if (auto it = kTable->find(key); it != kTable->end())
    return std::string(it->second);
  return std::string(kOctetStream);
}

std::string WebServerEscapeURLString(std::string_view text) {
  // Besides the unreserved characters, the sub-delimiters that may stand in a URL stay as they
  // are; ":@/?&=+" are escaped so the result is safe as a single query value or path segment.
  return Url::percentEncode(text, "!$'()*,;");
}

std::optional<std::string> WebServerUnescapeURLString(std::string_view text) {
  auto decoded = Url::percentDecode(text);
  if (!decoded || !Utf8::isValid(*decoded))
    return std::nullopt;
  return decoded;
}

WebServerQuery WebServerParseURLEncodedForm(std::string_view form) {
  WebServerQuery items;
  size_t start = 0;
  while (start <= form.size()) {
    size_t end = form.find('&', start);
    if (end == std::string_view::npos)
      end = form.size();
    const std::string_view item = form.substr(start, end - start);
    start = end + 1;
    if (item.empty())
      continue;
    const size_t equals = item.find('=');
    std::string name(item.substr(0, equals));
    std::string value(equals == std::string_view::npos ? std::string_view()
                                                       : item.substr(equals + 1));
    if (name.empty())
      continue;
    for (char &c : name)
      c = (c == '+') ? ' ' : c;
    for (char &c : value)
      c = (c == '+') ? ' ' : c;
    auto decodedName = WebServerUnescapeURLString(name);
    auto decodedValue = WebServerUnescapeURLString(value);
    if (!decodedName || !decodedValue) {
      if (WebServerShouldLog(kWebServerLogWarning)) {
        WebServerLogMessage(kWebServerLogWarning,
                            "Failed parsing URL encoded form for key \"%s\" and value \"%s\"",
                            name.c_str(), value.c_str());
      }
      continue;
    }
    if (decodedName->empty())
      continue;
    items.insert_or_assign(std::move(*decodedName), std::move(*decodedValue));
  }
  return items;
}

std::string WebServerStringFromSockAddr(std::string_view address, bool includeService) {
  if (address.size() < sizeof(sa_family_t))
    return {};
  sockaddr_storage storage{};
  std::memcpy(&storage, address.data(), std::min(address.size(), sizeof(storage)));
  socklen_t length = 0;
  if (storage.ss_family == AF_INET && address.size() >= sizeof(sockaddr_in)) {
    length = sizeof(sockaddr_in);
  } else if (storage.ss_family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
    length = sizeof(sockaddr_in6);
  } else {
    return {};
  }
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (::getnameinfo(reinterpret_cast<const sockaddr *>(&storage), length, host, sizeof(host),
                    service, sizeof(service), NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return {};
  }
  if (!includeService)
    return host;
  return std::string(host) + ":" + service;
}

namespace {

// The interface of the IPv4 default route: what the platform's first Ethernet or Wi-Fi
// interface ("en0") stands for on Linux, where interface names say nothing of their role.
std::string defaultRouteInterface() {
  std::ifstream routes("/proc/net/route");
  std::string line;
  std::getline(routes, line);  // the column titles
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway;
    unsigned flags = 0;
    if (fields >> name >> destination >> gateway >> std::hex >> flags &&
        destination == "00000000" && (flags & RTF_UP) != 0) {
      return name;
    }
  }
  return {};
}

}  // namespace

std::optional<std::string> WebServerGetPrimaryIPAddress(bool useIPv6) {
  ifaddrs *list = nullptr;
  if (::getifaddrs(&list) != 0)
    return std::nullopt;
  const std::string primary = defaultRouteInterface();
  std::optional<std::string> result;
  std::optional<std::string> first;  // of any interface, when none is on the default route
  const int family = useIPv6 ? AF_INET6 : AF_INET;
  for (ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != family)
      continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0)
      continue;
    const size_t size = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    std::string text = WebServerStringFromSockAddr(
        std::string_view(reinterpret_cast<const char *>(entry->ifa_addr), size), false);
    if (text.empty()) continue;
    if (!primary.empty() && primary == entry->ifa_name) {
      result = std::move(text);
      break;
    }
    if (!first) first = std::move(text);
  }
  ::freeifaddrs(list);
  return result ? result : first;
}

std::string WebServerMakeServerURL(std::string_view host, uint16_t port) {
  std::string url = "http://";
  url.append(host);
  if (port != 80) url.append(":").append(std::to_string(port));
  url.append("/");
  return url;
}

std::string WebServerComputeMD5Digest(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1)
    return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0F]);
  }
  return hex;
}

std::string WebServerNormalizePath(std::string_view path) { return UrlPath::normalized(path); }

bool WebServerIsValidByteRange(WebServerByteRange range) {
  return range.location != kWebServerNoLocation || range.length > 0;
}

} // namespace ombrelia
