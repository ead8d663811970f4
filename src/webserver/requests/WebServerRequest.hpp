#pragma once
// One connection's steps, then its handler: a request is never used from two threads at once.

#include <any>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/Url.hpp>

#include "platform/CancellationToken.hpp"
#include "webserver/core/WebServerDates.hpp"
#include "webserver/core/WebServerFunctions.hpp"
#include "webserver/core/WebServerHeaders.hpp"
#include "webserver/requests/WebServerBodyWriter.hpp"

namespace ombrelia {

// Request bodies above this are refused unless the server sets another cap: large enough for
// any form or upload this library's users send, small enough that a client cannot exhaust memory
// or disk.
inline constexpr uint64_t kWebServerDefaultMaxBodyBytes = 64ull * 1024 * 1024;
// A content length means undefined when it has this value.
inline constexpr uint64_t kWebServerUndefinedLength = std::numeric_limits<uint64_t>::max();
// The key of the attribute that holds a regex handler's captures (std::vector<std::string>).
inline constexpr const char *kWebServerRequestAttributeRegexCaptures =
    "WebServerRequestAttribute_RegexCaptures";

// What the matching step hands to a request's initialiser.
struct WebServerRequestInfo {
  std::string method;
  Url url;
  WebServerHeaders headers;
  std::string path; // percent-decoded
  WebServerQuery query;
  uint64_t maxBodyBytes = kWebServerDefaultMaxBodyBytes;
};

// Why a request's headers make it impossible to serve.
enum class WebServerRequestRefusal {
  none,
  invalidContentLength,        // not digits, too large, or together with chunked coding: 400
  unsupportedTransferEncoding, // a transfer coding other than "chunked": 501
  bodyTooLarge,                // the announced length is above the cap: 413
};
int WebServerStatusCodeForRefusal(WebServerRequestRefusal refusal);

class WebServerRequest : public WebServerBodyWriter {
public:
  explicit WebServerRequest(WebServerRequestInfo info);
  ~WebServerRequest() override;
  WebServerRequest(const WebServerRequest &) = delete;
  WebServerRequest &operator=(const WebServerRequest &) = delete;

  // A refused request is never processed: the connection answers with the refusal's status.
  WebServerRequestRefusal refusal() const { return refusal_; }
  bool isValid() const { return refusal_ == WebServerRequestRefusal::none; }

  const std::string &method() const { return info_.method; }
  const Url &url() const { return info_.url; }
  const WebServerHeaders &headers() const { return info_.headers; }
  const std::string &path() const { return info_.path; }
  const WebServerQuery &query() const { return info_.query; }
  std::optional<std::string> headerValue(std::string_view name) const;
  uint64_t maxBodyBytes() const { return info_.maxBodyBytes; }

  const std::optional<std::string> &contentType() const { return contentType_; }
  uint64_t contentLength() const { return contentLength_; }
  bool usesChunkedTransferEncoding() const { return usesChunkedTransferEncoding_; }
  const std::optional<WebServerDate> &ifModifiedSince() const { return ifModifiedSince_; }
  const std::optional<std::string> &ifNoneMatch() const { return ifNoneMatch_; }
  WebServerByteRange byteRange() const { return byteRange_; }
  bool hasByteRange() const { return WebServerIsValidByteRange(byteRange_); }
  bool acceptsGzipContentEncoding() const { return acceptsGzipContentEncoding_; }
  bool hasBody() const { return contentType_.has_value(); }

  // Socket addresses as the bytes of a sockaddr; set by the connection.
  const std::string &localAddressData() const { return localAddressData_; }
  const std::string &remoteAddressData() const { return remoteAddressData_; }
  void setLocalAddressData(std::string address) { localAddressData_ = std::move(address); }
  void setRemoteAddressData(std::string address) { remoteAddressData_ = std::move(address); }
  std::string localAddressString() const;
  std::string remoteAddressString() const;

  // Cancelled by the connection when the client goes away (or the connection ends) before it
  // has the whole response, so that the work done for it can stop.
  const std::shared_ptr<platform::CancellationToken>& cancellation() const { return cancellation_; }

  // Attributes set by matching; an empty value removes the key.
  std::any attribute(const std::string &key) const;
  void setAttribute(const std::string &key, std::any value);
  // The captures of a regex handler, empty when there are none.
  std::vector<std::string> regexCaptures() const;

  // Body steps, called by the connection in this order.
  void prepareForWriting();
  // The body comes gzip-coded, and prepareForWriting() puts a decoder in front of it.
  bool isBodyGzipCoded() const;
  WebServerResult performOpen();
  WebServerResult performWriteData(const uint8_t *bytes, size_t length);
  WebServerResult performClose();

  virtual std::string description() const;

protected:
  // The request's own sink. The base discards the body.
  WebServerResult open() override { return {}; }
  WebServerResult writeData(const uint8_t *, size_t) override { return {}; }
  WebServerResult close() override { return {}; }

private:
  void parseHeaders();

  WebServerRequestInfo info_;
  WebServerRequestRefusal refusal_ = WebServerRequestRefusal::none;
  bool opened_ = false;
  std::vector<std::unique_ptr<WebServerBodyWriter>> decoders_;
  WebServerBodyWriter *writer_ = nullptr;
  std::map<std::string, std::any, std::less<>> attributes_;
  bool acceptsGzipContentEncoding_ = false;
  bool usesChunkedTransferEncoding_ = false;
  std::optional<std::string> contentType_;
  uint64_t contentLength_ = kWebServerUndefinedLength;
  std::optional<WebServerDate> ifModifiedSince_;
  std::optional<std::string> ifNoneMatch_;
  WebServerByteRange byteRange_;
  std::string localAddressData_;
  std::string remoteAddressData_;
  const std::shared_ptr<platform::CancellationToken> cancellation_ =
      platform::CancellationToken::create();
};

// Makes a request of class T (WebServerRequest or a subclass) from the matched values: what a
// handler registers as its request class.
using WebServerRequestFactory =
    std::function<std::shared_ptr<WebServerRequest>(WebServerRequestInfo info)>;
template <class T> WebServerRequestFactory WebServerRequestClass() {
  return [](WebServerRequestInfo info) -> std::shared_ptr<WebServerRequest> {
    return std::make_shared<T>(std::move(info));
  };
}

} // namespace ombrelia
