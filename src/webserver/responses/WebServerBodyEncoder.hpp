#pragma once
// One connection's steps at a time.

#include "webserver/responses/WebServerBodyReader.hpp"

namespace ombrelia {

class WebServerResponse;

// A content encoder in front of a response's body source: it passes each step on to the next
// reader, which outlives it (the response owns its encoders).
class WebServerBodyEncoder : public WebServerBodyReader {
public:
  WebServerBodyEncoder(WebServerResponse &response, WebServerBodyReader &next)
      : response_(response), next_(next) {}

  WebServerResult open() override { return next_.open(); }
  void readData(WebServerReadCompletion completion) override {
    next_.readData(std::move(completion));
  }
  void close() override { next_.close(); }

protected:
  WebServerResponse &response_;
  WebServerBodyReader &next_;
};

} // namespace ombrelia
