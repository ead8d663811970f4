#pragma once
// Built by a handler on any thread, then read by one connection's steps; the stream callback
// may complete on any thread.

#include <functional>
#include <memory>
#include <string>

#include "webserver/responses/WebServerResponse.hpp"

namespace ombrelia {

// A response whose bytes come from a callback, sent chunked (its length is undefined). The
// callback completes with bytes, with empty bytes at the end, or with an error.
class WebServerStreamedResponse : public WebServerResponse {
public:
  using StreamBlock = std::function<WebServerReadResult()>;
  using AsyncStreamBlock = std::function<void(WebServerReadCompletion completion)>;

  WebServerStreamedResponse(std::string contentType, AsyncStreamBlock block);

  [[nodiscard]] static std::shared_ptr<WebServerStreamedResponse>
  responseWithContentType(std::string contentType, StreamBlock block);
  [[nodiscard]] static std::shared_ptr<WebServerStreamedResponse>
  responseWithContentTypeAsync(std::string contentType, AsyncStreamBlock block);

  std::string description() const override;

protected:
  void readData(WebServerReadCompletion completion) override;

private:
  AsyncStreamBlock block_;
};

} // namespace ombrelia
