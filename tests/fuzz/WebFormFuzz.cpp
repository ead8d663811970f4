// The URL-encoded form parser and the header-value helpers: text from any client.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/url/Utf8.hpp"
#include "webserver/core/WebServerDates.hpp"
#include "webserver/core/WebServerFunctions.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  const auto form = ombrelia::WebServerParseURLEncodedForm(text);
  for (const auto &[name, value] : form) {
    if (name.empty() || !ombrelia::Utf8::isValid(name) ||
        !ombrelia::Utf8::isValid(value)) {
      __builtin_trap();
    }
  }
  // The first line names a parameter, the rest is a header value.
  const size_t newline = text.find('\n');
  const std::string_view name =
      newline == std::string_view::npos ? "name" : text.substr(0, newline);
  const std::string_view value =
      newline == std::string_view::npos ? text : text.substr(newline + 1);
  (void)ombrelia::WebServerExtractHeaderValueParameter(value, name);
  (void)ombrelia::WebServerNormalizeHeaderValue(value);
  (void)ombrelia::WebServerTruncateHeaderValue(value);
  (void)ombrelia::WebServerUnescapeURLString(text);
  (void)ombrelia::WebServerNormalizePath(text);
  (void)ombrelia::WebServerParseRFC822(text);
  return 0;
}
