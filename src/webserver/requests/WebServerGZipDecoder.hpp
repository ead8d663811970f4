#pragma once
// One connection's steps at a time.

#include <cstdint>
#include <memory>

#include "webserver/requests/WebServerBodyDecoder.hpp"

namespace ombrelia {

// Inflates a gzip-coded request body on its way to the request. Output goes on in pieces of at
// most kOutputPieceBytes, never accumulated, and stops with an error past `maxDecodedBytes`,
// so a small "gzip bomb" cannot fill memory. A stream that has not ended when the body closes
// is truncated and fails the close; bytes after the end of the stream fail the write.
class WebServerGZipDecoder : public WebServerBodyDecoder {
public:
  static constexpr size_t kOutputPieceBytes = 64 * 1024;

  WebServerGZipDecoder(WebServerBodyWriter &next, uint64_t maxDecodedBytes);
  ~WebServerGZipDecoder() override;

  WebServerResult open() override;
  WebServerResult writeData(const uint8_t *bytes, size_t length) override;
  WebServerResult close() override;

private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
  uint64_t maxDecodedBytes_;
  uint64_t decodedBytes_ = 0;
  bool finished_ = false;
};

} // namespace ombrelia
