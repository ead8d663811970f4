#include "webserver/responses/WebServerResponse.hpp"

#include "webserver/core/WebServerFunctions.hpp"
#include "webserver/core/WebServerLog.hpp"
#include "webserver/responses/WebServerGZipEncoder.hpp"

namespace ombrelia {

WebServerResponse::WebServerResponse() = default;
WebServerResponse::~WebServerResponse() = default;

std::shared_ptr<WebServerResponse> WebServerResponse::response() {
  return std::make_shared<WebServerResponse>();
}

std::shared_ptr<WebServerResponse> WebServerResponse::responseWithStatusCode(int statusCode) {
  auto response = std::make_shared<WebServerResponse>();
  response->setStatusCode(statusCode);
  return response;
}

std::shared_ptr<WebServerResponse> WebServerResponse::responseWithRedirect(const Url &location,
                                                                           bool permanent) {
  auto response = std::make_shared<WebServerResponse>();
  response->setStatusCode(permanent ? 301 : 307);
  response->setValueForAdditionalHeader("Location", location.toString());
  return response;
}

bool WebServerResponse::setValueForAdditionalHeader(const std::string &name,
                                                    std::optional<std::string> value) {
  if (!WebServerIsValidHeaderName(name) || (value && !WebServerIsValidHeaderValue(*value))) {
    if (WebServerShouldLog(kWebServerLogWarning)) {
      WebServerLogMessage(kWebServerLogWarning, "Refusing invalid response header \"%s\"",
                          name.c_str());
    }
    return false;
  }
  if (value) {
    additionalHeaders_.insert_or_assign(name, std::move(*value));
  } else {
    additionalHeaders_.erase(name);
  }
  return true;
}

void WebServerResponse::prepareForReading() {
  reader_ = this;
  if (gzipContentEncodingEnabled_) {
    auto encoder = std::make_unique<WebServerGZipEncoder>(*this, *reader_);
    reader_ = encoder.get();
    encoders_.push_back(std::move(encoder));
  }
}

WebServerResult WebServerResponse::performOpen() {
  if (opened_ || !contentType_ || reader_ == nullptr) {
    return WebServerMakeError(kWebServerErrorGeneric, "Response body opened out of order");
  }
  opened_ = true;
  return reader_->open();
}

void WebServerResponse::performReadData(WebServerReadCompletion completion) {
  if (!opened_) {
    completion(WebServerReadResult::failure(
        WebServerMakeError(kWebServerErrorGeneric, "Response body not open")));
    return;
  }
  reader_->readData(std::move(completion));
}

void WebServerResponse::performClose() {
  if (opened_)
    reader_->close();
}

std::string WebServerResponse::description() const {
  std::string text = "Status Code = " + std::to_string(statusCode_);
  if (contentType_)
    text += "\nContent Type = " + *contentType_;
  if (contentLength_ != kWebServerUndefinedResponseLength) {
    text += "\nContent Length = " + std::to_string(contentLength_);
  }
  text += "\nCache Control Max Age = " + std::to_string(cacheControlMaxAge_);
  if (lastModifiedDate_)
    text += "\nLast Modified Date = " + WebServerFormatRFC822(*lastModifiedDate_);
  if (eTag_)
    text += "\nETag = " + *eTag_;
  text += "\n";
  for (const auto &[name, value] : additionalHeaders_)
    text += "\n" + name + ": " + value;
  return text;
}

} // namespace ombrelia
