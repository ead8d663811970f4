#include "webserver/core/WebServerError.hpp"

#include <cstring>

namespace ombrelia {

WebServerError WebServerMakePosixError(int errorNumber) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not live in the buffer.
  const char *text = strerror_r(errorNumber, buffer, sizeof(buffer));
  return WebServerError{kWebServerPosixErrorDomain, errorNumber, text};
}

WebServerError WebServerMakeError(long code, std::string description) {
  return WebServerError{kWebServerErrorDomain, code, std::move(description)};
}

} // namespace ombrelia
