#pragma once
// Built by a handler on any thread, then read by one connection's steps.

#include <memory>
#include <optional>
#include <string>

#include "webserver/responses/WebServerDataResponse.hpp"

namespace ombrelia {

// An HTML error page. Every text it embeds is HTML-escaped.
class WebServerErrorResponse : public WebServerDataResponse {
public:
  WebServerErrorResponse() = default;
  WebServerErrorResponse(int statusCode, const std::optional<WebServerError> &underlyingError,
                         const std::string &message);

  // Status only, no page (like the base class).
  [[nodiscard]] static std::shared_ptr<WebServerErrorResponse>
  responseWithStatusCode(int statusCode);
  // Client errors take a status from 400 to 499, server errors from 500 to 599; the message is
  // a printf format and its arguments.
  [[nodiscard]] static std::shared_ptr<WebServerErrorResponse>
  responseWithClientError(int statusCode, const char *format, ...)
      __attribute__((format(printf, 2, 3)));
  [[nodiscard]] static std::shared_ptr<WebServerErrorResponse>
  responseWithServerError(int statusCode, const char *format, ...)
      __attribute__((format(printf, 2, 3)));
  [[nodiscard]] static std::shared_ptr<WebServerErrorResponse>
  responseWithClientError(int statusCode, const WebServerError &underlyingError, const char *format,
                          ...) __attribute__((format(printf, 3, 4)));
  [[nodiscard]] static std::shared_ptr<WebServerErrorResponse>
  responseWithServerError(int statusCode, const WebServerError &underlyingError, const char *format,
                          ...) __attribute__((format(printf, 3, 4)));

  // & < > " and ' as entities.
  static std::string escapeHTML(std::string_view text);
};

} // namespace ombrelia
