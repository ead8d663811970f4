#include "webserver/responses/WebServerErrorResponse.hpp"

#include <cassert>
#include <cstdarg>
#include <cstdio>

namespace ombrelia {
namespace {

std::string formatMessage(const char *format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0)
    return {};
  std::string text(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(needed));
  return text;
}

int clampStatus(int statusCode, int low, int high) {
  // A status outside the class asked for is a caller's mistake; keep it in the class.
  assert(statusCode >= low && statusCode <= high);
  return statusCode < low || statusCode > high ? low : statusCode;
}

} // namespace

WebServerErrorResponse::WebServerErrorResponse(int statusCode,
                                               const std::optional<WebServerError> &underlyingError,
                                               const std::string &message) {
  // Appended: GCC 12 at -O3 takes `"..." + std::string` for an overlapping copy.
  std::string title = "HTTP Error ";
  title.append(std::to_string(statusCode));
  std::string errorLine;
  if (underlyingError) {
    errorLine.append("[")
        .append(escapeHTML(underlyingError->domain))
        .append("] ")
        .append(escapeHTML(underlyingError->description))
        .append(" (")
        .append(std::to_string(underlyingError->code))
        .append(")");
  }
  std::string html = "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>" +
                     title + "</title></head><body><h1>" + title + ": " + escapeHTML(message) +
                     "</h1><h3>" + errorLine + "</h3></body></html>";
  setData(Data(std::move(html)), "text/html; charset=utf-8");
  setStatusCode(statusCode);
}

std::shared_ptr<WebServerErrorResponse>
WebServerErrorResponse::responseWithStatusCode(int statusCode) {
  auto response = std::make_shared<WebServerErrorResponse>();
  response->setStatusCode(statusCode);
  return response;
}

std::shared_ptr<WebServerErrorResponse>
WebServerErrorResponse::responseWithClientError(int statusCode, const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = formatMessage(format, args);
  va_end(args);
  return std::make_shared<WebServerErrorResponse>(clampStatus(statusCode, 400, 499), std::nullopt,
                                                  message);
}

std::shared_ptr<WebServerErrorResponse>
WebServerErrorResponse::responseWithServerError(int statusCode, const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = formatMessage(format, args);
  va_end(args);
  return std::make_shared<WebServerErrorResponse>(clampStatus(statusCode, 500, 599), std::nullopt,
                                                  message);
}

std::shared_ptr<WebServerErrorResponse> WebServerErrorResponse::responseWithClientError(
    int statusCode, const WebServerError &underlyingError, const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = formatMessage(format, args);
  va_end(args);
  return std::make_shared<WebServerErrorResponse>(clampStatus(statusCode, 400, 499),
                                                  underlyingError, message);
}

std::shared_ptr<WebServerErrorResponse> WebServerErrorResponse::responseWithServerError(
    int statusCode, const WebServerError &underlyingError, const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = formatMessage(format, args);
  va_end(args);
  return std::make_shared<WebServerErrorResponse>(clampStatus(statusCode, 500, 599),
                                                  underlyingError, message);
}

std::string WebServerErrorResponse::escapeHTML(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
    case '&':
      escaped += "&amp;";
      break;
    case '<':
      escaped += "&lt;";
      break;
    case '>':
      escaped += "&gt;";
      break;
    case '"':
      escaped += "&quot;";
      break;
    case '\'':
      escaped += "&#39;";
      break;
    default:
      escaped.push_back(c);
    }
  }
  return escaped;
}

} // namespace ombrelia
