#include "webserver/requests/WebServerRequest.hpp"

#include <algorithm>

#include "webserver/core/WebServerFunctions.hpp"
#include "webserver/core/WebServerLog.hpp"
#include "webserver/requests/WebServerGZipDecoder.hpp"

namespace ombrelia {
namespace {

// Content lengths are kept below 2^63 so that they fit every signed offset they meet later.
constexpr uint64_t kMaxContentLength = (1ull << 63) - 1;

// A decimal number made of digits only, below 2^63.
std::optional<uint64_t> parseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 19)
    return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > kMaxContentLength)
    return std::nullopt;
  return value;
}

std::optional<WebServerByteRange> parseRange(std::string_view value) {
  static constexpr std::string_view kPrefix = "bytes=";
  if (!value.starts_with(kPrefix))
    return std::nullopt;
  const std::string_view rangeSet = value.substr(kPrefix.size());
  if (rangeSet.find(',') != std::string_view::npos)
    return std::nullopt;
  const size_t dash = rangeSet.find('-');
  if (dash == std::string_view::npos || rangeSet.find('-', dash + 1) != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view startText = WebServerTrimWhitespace(rangeSet.substr(0, dash));
  const std::string_view endText = WebServerTrimWhitespace(rangeSet.substr(dash + 1));
  const std::optional<uint64_t> start = parseDecimal(startText);
  const std::optional<uint64_t> end = parseDecimal(endText);
  if ((!startText.empty() && !start) || (!endText.empty() && !end))
    return std::nullopt;
  if (start && end) {
    // An end before the start makes the range invalid, and an invalid range is ignored.
    if (*end < *start)
      return std::nullopt;
    return WebServerByteRange{*start, *end - *start + 1};
  }
  if (start)
    return WebServerByteRange{*start, kWebServerToEnd};
  if (end && *end > 0)
    return WebServerByteRange{kWebServerNoLocation, *end};
  return std::nullopt;
}

} // namespace

int WebServerStatusCodeForRefusal(WebServerRequestRefusal refusal) {
  switch (refusal) {
  case WebServerRequestRefusal::none:
    return 200;
  case WebServerRequestRefusal::invalidContentLength:
    return 400;
  case WebServerRequestRefusal::unsupportedTransferEncoding:
    return 501;
  case WebServerRequestRefusal::bodyTooLarge:
    return 413;
  }
  return 400;
}

WebServerRequest::WebServerRequest(WebServerRequestInfo info) : info_(std::move(info)) {
  parseHeaders();
}

WebServerRequest::~WebServerRequest() = default;

std::optional<std::string> WebServerRequest::headerValue(std::string_view name) const {
  auto it = info_.headers.find(name);
  if (it == info_.headers.end())
    return std::nullopt;
  return it->second;
}

void WebServerRequest::parseHeaders() {
  contentType_ = WebServerNormalizeHeaderValue(headerValue("Content-Type"));
  const auto transferEncoding = WebServerNormalizeHeaderValue(headerValue("Transfer-Encoding"));
  usesChunkedTransferEncoding_ = transferEncoding == "chunked";
  if (transferEncoding && !usesChunkedTransferEncoding_) {
    // Framing a body with a coding we cannot undo would misread where the request ends.
    refusal_ = WebServerRequestRefusal::unsupportedTransferEncoding;
  }

  if (const auto lengthHeader = headerValue("Content-Length")) {
    const std::optional<uint64_t> length = parseDecimal(WebServerTrimWhitespace(*lengthHeader));
    if (!length || usesChunkedTransferEncoding_) {
      if (WebServerShouldLog(kWebServerLogWarning)) {
        WebServerLogMessage(
            kWebServerLogWarning, "Invalid 'Content-Length' header '%s' for '%s' request on \"%s\"",
            lengthHeader->c_str(), info_.method.c_str(), info_.url.toString().c_str());
      }
      if (refusal_ == WebServerRequestRefusal::none) {
        refusal_ = WebServerRequestRefusal::invalidContentLength;
      }
    } else {
      contentLength_ = *length;
      if (!contentType_)
        contentType_ = "application/octet-stream";
      if (*length > info_.maxBodyBytes && refusal_ == WebServerRequestRefusal::none) {
        refusal_ = WebServerRequestRefusal::bodyTooLarge;
      }
    }
  } else if (usesChunkedTransferEncoding_) {
    if (!contentType_)
      contentType_ = "application/octet-stream";
    contentLength_ = kWebServerUndefinedLength;
  } else if (contentType_) {
    if (WebServerShouldLog(kWebServerLogWarning)) {
      WebServerLogMessage(kWebServerLogWarning,
                          "Ignoring 'Content-Type' header for '%s' request on \"%s\"",
                          info_.method.c_str(), info_.url.toString().c_str());
    }
    contentType_.reset();
  }

  if (const auto modifiedSince = headerValue("If-Modified-Since")) {
    ifModifiedSince_ = WebServerParseRFC822(*modifiedSince);
  }
  ifNoneMatch_ = headerValue("If-None-Match");

  if (const auto range = WebServerNormalizeHeaderValue(headerValue("Range"))) {
    if (auto parsed = parseRange(*range)) {
      byteRange_ = *parsed;
    } else if (WebServerShouldLog(kWebServerLogWarning)) {
      WebServerLogMessage(kWebServerLogWarning, "Failed to parse 'Range' header \"%s\" for url: %s",
                          range->c_str(), info_.url.toString().c_str());
    }
  }

  if (const auto acceptEncoding = headerValue("Accept-Encoding")) {
    acceptsGzipContentEncoding_ = acceptEncoding->find("gzip") != std::string::npos;
  }
}

std::string WebServerRequest::localAddressString() const {
  return WebServerStringFromSockAddr(localAddressData_, true);
}

std::string WebServerRequest::remoteAddressString() const {
  return WebServerStringFromSockAddr(remoteAddressData_, true);
}

std::any WebServerRequest::attribute(const std::string &key) const {
  auto it = attributes_.find(key);
  return it == attributes_.end() ? std::any() : it->second;
}

void WebServerRequest::setAttribute(const std::string &key, std::any value) {
  if (!value.has_value()) {
    attributes_.erase(key);
  } else {
    attributes_.insert_or_assign(key, std::move(value));
  }
}

std::vector<std::string> WebServerRequest::regexCaptures() const {
  auto it = attributes_.find(kWebServerRequestAttributeRegexCaptures);
  if (it == attributes_.end())
    return {};
  if (const auto *captures = std::any_cast<std::vector<std::string>>(&it->second)) {
    return *captures;
  }
  return {};
}

bool WebServerRequest::isBodyGzipCoded() const {
  return WebServerNormalizeHeaderValue(headerValue("Content-Encoding")) == "gzip";
}

void WebServerRequest::prepareForWriting() {
  writer_ = this;
  if (isBodyGzipCoded()) {
    auto decoder = std::make_unique<WebServerGZipDecoder>(*writer_, info_.maxBodyBytes);
    writer_ = decoder.get();
    decoders_.push_back(std::move(decoder));
  }
}

WebServerResult WebServerRequest::performOpen() {
  if (opened_ || !contentType_ || writer_ == nullptr) {
    return WebServerMakeError(kWebServerErrorGeneric, "Request body opened out of order");
  }
  opened_ = true;
  return writer_->open();
}

WebServerResult WebServerRequest::performWriteData(const uint8_t *bytes, size_t length) {
  if (!opened_)
    return WebServerMakeError(kWebServerErrorGeneric, "Request body not open");
  return writer_->writeData(bytes, length);
}

WebServerResult WebServerRequest::performClose() {
  if (!opened_)
    return WebServerMakeError(kWebServerErrorGeneric, "Request body not open");
  return writer_->close();
}

std::string WebServerRequest::description() const {
  std::string text = info_.method + " " + info_.path;
  for (const auto &[name, value] : info_.query)
    text += "\n  " + name + " = " + value;
  text += "\n";
  for (const auto &[name, value] : info_.headers)
    text += "\n" + name + ": " + value;
  return text;
}

} // namespace ombrelia
