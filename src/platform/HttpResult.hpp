#pragma once
// Any thread: a value type.

#include <variant>

#include "platform/HttpError.hpp"
#include "platform/HttpResponse.hpp"

namespace ombrelia::platform {

// A response or the error that prevented one.
class HttpResult {
 public:
  HttpResult(HttpResponse response) : value_(std::move(response)) {}  // NOLINT: implicit
  HttpResult(HttpError error) : value_(std::move(error)) {}           // NOLINT: implicit

  bool ok() const { return std::holds_alternative<HttpResponse>(value_); }
  const HttpResponse* response() const { return std::get_if<HttpResponse>(&value_); }
  const HttpError* error() const { return std::get_if<HttpError>(&value_); }

 private:
  std::variant<HttpResponse, HttpError> value_;
};

}  // namespace ombrelia::platform
