#include "webserver/requests/WebServerDataRequest.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <new>

namespace ombrelia {

WebServerDataRequest::WebServerDataRequest(WebServerRequestInfo info)
    : WebServerRequest(std::move(info)) {}

WebServerDataRequest::~WebServerDataRequest() = default;

WebServerResult WebServerDataRequest::open() {
  buffer_.clear();
  if (contentLength() != kWebServerUndefinedLength) {
    try {
      buffer_.reserve(static_cast<size_t>(std::min<uint64_t>(contentLength(), kMaxInitialReserve)));
    } catch (const std::bad_alloc &) {
      return WebServerMakeError(kWebServerErrorGeneric, "Failed allocating memory");
    }
  }
  return {};
}

WebServerResult WebServerDataRequest::writeData(const uint8_t *bytes, size_t length) {
  if (buffer_.size() + length > maxBodyBytes()) {
    return WebServerMakeError(kWebServerErrorBodyTooLarge, "Request body too large");
  }
  try {
    buffer_.append(reinterpret_cast<const char *>(bytes), length);
  } catch (const std::bad_alloc &) {
    return WebServerMakeError(kWebServerErrorGeneric, "Failed allocating memory");
  }
  return {};
}

WebServerResult WebServerDataRequest::close() {
  data_ = Data(std::move(buffer_));
  buffer_.clear();
  return {};
}

Data WebServerDataRequest::data() const { return data_; }

const std::optional<std::string> &WebServerDataRequest::text() const {
  if (!textComputed_) {
    textComputed_ = true;
    if (contentType() && contentType()->starts_with("text/")) {
      const auto charset = WebServerExtractHeaderValueParameter(*contentType(), "charset");
      text_ = WebServerDecodeText(data_.view(), WebServerStringEncodingFromCharset(charset));
    }
  }
  return text_;
}

std::shared_ptr<const nlohmann::json> WebServerDataRequest::jsonObject() const {
  if (!jsonComputed_) {
    jsonComputed_ = true;
    const auto mediaType = WebServerTruncateHeaderValue(contentType());
    if (mediaType == "application/json" || mediaType == "text/json" ||
        mediaType == "text/javascript") {
      auto parsed = nlohmann::json::parse(data_.view(), nullptr, false);
      if (!parsed.is_discarded())
        json_ = std::make_shared<const nlohmann::json>(std::move(parsed));
    }
  }
  return json_;
}

std::string WebServerDataRequest::description() const {
  return WebServerRequest::description() + "\n\n" +
         WebServerDescribeData(data_.view(), contentType().value_or(""));
}

} // namespace ombrelia
