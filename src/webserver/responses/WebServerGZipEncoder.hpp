#pragma once
// One connection's steps at a time; completions may arrive from any thread.

#include <memory>

#include "webserver/responses/WebServerBodyEncoder.hpp"

namespace ombrelia {

// Deflates a response body into the gzip format on its way out. Creating it makes the length
// undefined (the body goes out chunked) and adds "Content-Encoding: gzip".
class WebServerGZipEncoder : public WebServerBodyEncoder {
public:
  // Deflate writes its output into pieces of this size.
  static constexpr size_t kOutputPieceBytes = 64 * 1024;

  WebServerGZipEncoder(WebServerResponse &response, WebServerBodyReader &next);
  ~WebServerGZipEncoder() override;

  WebServerResult open() override;
  void readData(WebServerReadCompletion completion) override;
  void close() override;

private:
  // Reads pieces from the next reader until deflate has output for the waiting read.
  void pump();
  // Deflates one piece. Returns true when deflate produced nothing yet and another piece is
  // wanted; otherwise the waiting read has been answered.
  bool deflatePiece(WebServerReadResult input);

  struct Stream;
  std::unique_ptr<Stream> stream_;
  bool finished_ = false;
  WebServerReadCompletion completion_; // of the read under way
};

} // namespace ombrelia
