#pragma once
// Built by a handler on any thread, then read by one connection's steps; a body read may
// complete on any thread.

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/Url.hpp>

#include "webserver/core/WebServerDates.hpp"
#include "webserver/core/WebServerHeaders.hpp"
#include "webserver/responses/WebServerBodyReader.hpp"
#include "webserver/responses/WebServerResponseReset.hpp"

namespace ombrelia {

// A response length means undefined (the body is sent chunked) when it has this value.
inline constexpr uint64_t kWebServerUndefinedResponseLength = std::numeric_limits<uint64_t>::max();

// What the connection writes back. The base class has no body; a response has a body exactly
// when it has a content type.
class WebServerResponse : public WebServerBodyReader {
public:
  WebServerResponse();
  ~WebServerResponse() override;
  WebServerResponse(const WebServerResponse &) = delete;
  WebServerResponse &operator=(const WebServerResponse &) = delete;

  [[nodiscard]] static std::shared_ptr<WebServerResponse> response();
  // Status only: no content type, so no body and no "Content-Length".
  [[nodiscard]] static std::shared_ptr<WebServerResponse> responseWithStatusCode(int statusCode);
  // 301 when permanent, else 307, with "Location" set to the URL's text.
  [[nodiscard]] static std::shared_ptr<WebServerResponse> responseWithRedirect(const Url &location,
                                                                               bool permanent);

  const std::optional<std::string> &contentType() const { return contentType_; }
  void setContentType(std::optional<std::string> type) { contentType_ = std::move(type); }
  uint64_t contentLength() const { return contentLength_; }
  void setContentLength(uint64_t length) { contentLength_ = length; }
  int statusCode() const { return statusCode_; }
  void setStatusCode(int statusCode) { statusCode_ = statusCode; }
  uint64_t cacheControlMaxAge() const { return cacheControlMaxAge_; }
  void setCacheControlMaxAge(uint64_t seconds) { cacheControlMaxAge_ = seconds; }
  const std::optional<WebServerDate> &lastModifiedDate() const { return lastModifiedDate_; }
  void setLastModifiedDate(std::optional<WebServerDate> date) { lastModifiedDate_ = date; }
  const std::optional<std::string> &eTag() const { return eTag_; }
  void setETag(std::optional<std::string> tag) { eTag_ = std::move(tag); }
  bool isGZipContentEncodingEnabled() const { return gzipContentEncodingEnabled_; }
  void setGZipContentEncodingEnabled(bool enabled) { gzipContentEncodingEnabled_ = enabled; }

  const WebServerHeaders &additionalHeaders() const { return additionalHeaders_; }
  // Sets, or with no value removes, an extra header. A name that is not an HTTP token or a
  // value carrying CR, LF or NUL is refused (returns false): no header injection.
  bool setValueForAdditionalHeader(const std::string &name, std::optional<std::string> value);

  bool hasBody() const { return contentType_.has_value(); }
  bool usesChunkedTransferEncoding() const {
    return contentType_.has_value() && contentLength_ == kWebServerUndefinedResponseLength;
  }

  // Body steps, called by the connection in this order.
  void prepareForReading();
  WebServerResult performOpen();
  void performReadData(WebServerReadCompletion completion);
  void performClose();

  virtual std::string description() const;

  // Resets the connection writing this response when asked, from any thread.
  const std::shared_ptr<WebServerResponseReset> &resetHandle() const { return reset_; }

protected:
  // The response's own source. The base has an empty body.
  WebServerResult open() override { return {}; }
  void readData(WebServerReadCompletion completion) override {
    completion(WebServerReadResult::end());
  }
  void close() override {}

private:
  bool opened_ = false;
  std::vector<std::unique_ptr<WebServerBodyReader>> encoders_;
  WebServerBodyReader *reader_ = nullptr;
  bool gzipContentEncodingEnabled_ = false;
  std::optional<std::string> contentType_;
  uint64_t contentLength_ = kWebServerUndefinedResponseLength;
  int statusCode_ = 200;
  uint64_t cacheControlMaxAge_ = 0;
  std::optional<WebServerDate> lastModifiedDate_;
  std::optional<std::string> eTag_;
  WebServerHeaders additionalHeaders_;
  const std::shared_ptr<WebServerResponseReset> reset_ =
      std::make_shared<WebServerResponseReset>();
};

} // namespace ombrelia
