#pragma once
// One connection's steps at a time, like the request it decodes for.

#include "webserver/requests/WebServerBodyWriter.hpp"

namespace ombrelia {

// A content decoder in front of a request's body sink: it passes each step on to the next
// writer, which outlives it (the request owns its decoders).
class WebServerBodyDecoder : public WebServerBodyWriter {
public:
  explicit WebServerBodyDecoder(WebServerBodyWriter &next) : next_(next) {}

  WebServerResult open() override { return next_.open(); }
  WebServerResult writeData(const uint8_t *bytes, size_t length) override {
    return next_.writeData(bytes, length);
  }
  WebServerResult close() override { return next_.close(); }

protected:
  WebServerBodyWriter &next_;
};

} // namespace ombrelia
