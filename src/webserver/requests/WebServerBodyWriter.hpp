#pragma once
// One connection's steps at a time: a body sink is never used from two threads at once.

#include <cstddef>
#include <cstdint>

#include "webserver/core/WebServerError.hpp"

namespace ombrelia {

// Where the bytes of a request body go: opened once, written any number of times, closed once.
class WebServerBodyWriter {
public:
  virtual ~WebServerBodyWriter() = default;
  virtual WebServerResult open() = 0;
  virtual WebServerResult writeData(const uint8_t *bytes, size_t length) = 0;
  virtual WebServerResult close() = 0;
};

} // namespace ombrelia
