#pragma once
// Any thread: plain values.

#include <string>
#include <utility>

namespace ombrelia {

// The server's failures: a domain, a code and a description. Domains are "NSPOSIXErrorDomain"
// (code: errno), "WebServerErrorDomain" and "ZlibErrorDomain" (code: zlib's result).
struct WebServerError {
  std::string domain;
  long code = 0;
  std::string description;
};

inline constexpr const char *kWebServerPosixErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char *kWebServerErrorDomain = "WebServerErrorDomain";
inline constexpr const char *kWebServerZlibErrorDomain = "ZlibErrorDomain";

// Codes of "WebServerErrorDomain". A body over the server's cap is told apart so that the
// connection can answer 413 instead of 500.
inline constexpr long kWebServerErrorGeneric = -1;
inline constexpr long kWebServerErrorBodyTooLarge = -2;

WebServerError WebServerMakePosixError(int errorNumber);
WebServerError WebServerMakeError(long code, std::string description);

// The outcome of a body step: success, or the error that ended it.
class WebServerResult {
public:
  WebServerResult() = default;
  WebServerResult(WebServerError error) : failed_(true), error_(std::move(error)) {} // NOLINT

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const WebServerError &error() const { return error_; }

private:
  bool failed_ = false;
  WebServerError error_;
};

} // namespace ombrelia
