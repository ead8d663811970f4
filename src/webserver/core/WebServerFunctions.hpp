#pragma once
// Any thread: every function is pure or guards its own state.

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "webserver/core/WebServerHeaders.hpp"

namespace ombrelia {

// Header values.
// Lower-cases the part before the first ";" (the media type or token) and keeps the rest.
std::optional<std::string> WebServerNormalizeHeaderValue(std::optional<std::string_view> value);
// The part before the first ";", case unchanged.
std::optional<std::string> WebServerTruncateHeaderValue(std::optional<std::string_view> value);
// The value of parameter `name` (case-insensitive) in a header value such as
// `multipart/form-data; boundary="a b"` or `Digest username="u", realm="r"`. A name only
// matches at the start of a parameter, so "name" never matches inside "filename"; a quoted value
// ends at its closing quote (backslash escapes honoured), an unquoted one at ";", "," or white
// space. Absent when the parameter is missing or empty.
std::optional<std::string> WebServerExtractHeaderValueParameter(std::string_view value,
                                                                std::string_view name);
// The text without the spaces and tabs HTTP allows around header values and their parts.
std::string_view WebServerTrimWhitespace(std::string_view text);
// True when the text may stand in a header name (an HTTP token).
bool WebServerIsValidHeaderName(std::string_view name);
// True when the text may stand in a header value: no CR, LF or NUL (no header injection).
bool WebServerIsValidHeaderValue(std::string_view value);

// Text encodings the server can decode; everything is handed out as UTF-8.
enum class WebServerStringEncoding { utf8, ascii, isoLatin1 };
// The encoding of an IANA character-set name; UTF-8 when none is given or it is unknown.
WebServerStringEncoding WebServerStringEncodingFromCharset(std::optional<std::string_view> charset);
// The bytes as UTF-8 text; absent when they are not valid in that encoding.
std::optional<std::string> WebServerDecodeText(std::string_view bytes,
                                               WebServerStringEncoding encoding);

bool WebServerIsTextContentType(std::string_view type);
// The bytes as text for a text type, else "<N bytes>"; for debugging texts.
std::string WebServerDescribeData(std::string_view bytes, std::string_view type);

// The media type of a file name extension ("m3u8", "ts", ...), overrides first;
// "application/octet-stream" when unknown.
std::string
WebServerGetMimeTypeForExtension(std::string_view extension,
                                 const std::map<std::string, std::string> *overrides = nullptr);

// Percent-escapes, as UTF-8, every character not allowed in a URL and each of ":@/?&=+".
std::string WebServerEscapeURLString(std::string_view text);
// Replaces every percent-escape; absent when one is malformed or the bytes are not UTF-8.
// "+" is kept.
std::optional<std::string> WebServerUnescapeURLString(std::string_view text);
// "application/x-www-form-urlencoded" text to items. Items are split on "&"; an item without
// "=" is a name with an empty value; empty names are skipped; "+" becomes a space before
// percent-decoding; an item that does not decode is logged and skipped; a later item replaces
// an earlier one of the same name.
WebServerQuery WebServerParseURLEncodedForm(std::string_view form);

// The numeric host of a socket address (bytes of a sockaddr), with ":port" when asked;
// IPv6 hosts without brackets; empty when the bytes are no address.
std::string WebServerStringFromSockAddr(std::string_view address, bool includeService);
// The address of the family on the interface of the default route, else on the first interface
// that is up and not loopback.
std::optional<std::string> WebServerGetPrimaryIPAddress(bool useIPv6);
// The server's URL on a host: "http://host/" on port 80, else "http://host:port/".
std::string WebServerMakeServerURL(std::string_view host, uint16_t port);

// MD5 of the UTF-8 text as 32 lower-case hexadecimal digits.
std::string WebServerComputeMD5Digest(std::string_view text);

// Drops empty and "." components, applies ".." (never above the root), keeps a leading "/".
std::string WebServerNormalizePath(std::string_view path);

// A requested byte range: (location, length). Location kWebServerNoLocation with a length asks
// for the last `length` bytes; a length of kWebServerToEnd runs to the end of the file.
inline constexpr uint64_t kWebServerNoLocation = std::numeric_limits<uint64_t>::max();
inline constexpr uint64_t kWebServerToEnd = std::numeric_limits<uint64_t>::max();
struct WebServerByteRange {
  uint64_t location = kWebServerNoLocation;
  uint64_t length = 0;
  friend bool operator==(const WebServerByteRange &, const WebServerByteRange &) = default;
};
bool WebServerIsValidByteRange(WebServerByteRange range);

} // namespace ombrelia
