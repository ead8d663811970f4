#include "webserver/responses/WebServerStreamedResponse.hpp"

namespace ombrelia {

WebServerStreamedResponse::WebServerStreamedResponse(std::string contentType,
                                                     AsyncStreamBlock block)
    : block_(std::move(block)) {
  setContentType(std::move(contentType));
}

std::shared_ptr<WebServerStreamedResponse>
WebServerStreamedResponse::responseWithContentType(std::string contentType, StreamBlock block) {
  return std::make_shared<WebServerStreamedResponse>(
      std::move(contentType),
      [block = std::move(block)](WebServerReadCompletion completion) { completion(block()); });
}

std::shared_ptr<WebServerStreamedResponse>
WebServerStreamedResponse::responseWithContentTypeAsync(std::string contentType,
                                                        AsyncStreamBlock block) {
  return std::make_shared<WebServerStreamedResponse>(std::move(contentType), std::move(block));
}

void WebServerStreamedResponse::readData(WebServerReadCompletion completion) {
  block_(std::move(completion));
}

std::string WebServerStreamedResponse::description() const {
  return WebServerResponse::description() + "\n\n<STREAM>";
}

} // namespace ombrelia
