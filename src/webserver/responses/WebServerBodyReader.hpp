#pragma once
// One connection's steps at a time; a read may complete later, on any thread.

#include <functional>
#include <utility>

#include <ombrelia/Data.hpp>

#include "webserver/core/WebServerError.hpp"

namespace ombrelia {

// One read of a response body: bytes (empty at the end of the body) or the error that ended it.
struct WebServerReadResult {
  bool ok = true;
  Data data;
  WebServerError error;

  static WebServerReadResult success(Data data) { return {true, std::move(data), {}}; }
  static WebServerReadResult end() { return {true, Data(), {}}; }
  static WebServerReadResult failure(WebServerError error) {
    return {false, Data(), std::move(error)};
  }
};
using WebServerReadCompletion = std::function<void(WebServerReadResult result)>;

// Where the bytes of a response body come from: opened once, read until it gives empty bytes
// or an error, closed once. A read may complete at once or later from any thread.
class WebServerBodyReader {
public:
  virtual ~WebServerBodyReader() = default;
  virtual WebServerResult open() = 0;
  virtual void readData(WebServerReadCompletion completion) = 0;
  virtual void close() = 0;
};

} // namespace ombrelia
