#include "webserver/requests/WebServerGZipDecoder.hpp"

#include <zlib.h>

#include <vector>

namespace ombrelia {
namespace {

// Window bits 15 plus 16: inflate accepts the gzip wrapper only.
constexpr int kGzipWindowBits = 15 + 16;

WebServerError zlibDecodeError(int result) {
  return WebServerError{kWebServerZlibErrorDomain, result, ""};
}

} // namespace

struct WebServerGZipDecoder::Stream {
  z_stream z{};
  bool initialized = false;
  ~Stream() {
    if (initialized)
      inflateEnd(&z);
  }
};

WebServerGZipDecoder::WebServerGZipDecoder(WebServerBodyWriter &next, uint64_t maxDecodedBytes)
    : WebServerBodyDecoder(next), maxDecodedBytes_(maxDecodedBytes) {}

WebServerGZipDecoder::~WebServerGZipDecoder() = default;

WebServerResult WebServerGZipDecoder::open() {
  stream_ = std::make_unique<Stream>();
  const int result = inflateInit2(&stream_->z, kGzipWindowBits);
  if (result != Z_OK) {
    stream_.reset();
    return zlibDecodeError(result);
  }
  stream_->initialized = true;
  return next_.open();
}

WebServerResult WebServerGZipDecoder::writeData(const uint8_t *bytes, size_t length) {
  if (!stream_) return zlibDecodeError(Z_STREAM_ERROR);
  if (length == 0)
    return {};
  if (finished_) return zlibDecodeError(Z_DATA_ERROR);
  std::vector<uint8_t> piece(kOutputPieceBytes);
  z_stream &z = stream_->z;
  z.next_in = const_cast<Bytef *>(bytes); // zlib's interface is not const-correct
  z.avail_in = static_cast<uInt>(length);
  for (;;) {
    z.next_out = piece.data();
    z.avail_out = static_cast<uInt>(piece.size());
    const int result = inflate(&z, Z_NO_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
      return zlibDecodeError(result);
    }
    const size_t produced = piece.size() - z.avail_out;
    if (produced > 0) {
      decodedBytes_ += produced;
      if (decodedBytes_ > maxDecodedBytes_) {
        return WebServerMakeError(kWebServerErrorBodyTooLarge, "Decoded body too large");
      }
      if (auto written = next_.writeData(piece.data(), produced); !written)
        return written;
    }
    if (result == Z_STREAM_END) {
      finished_ = true;
      // Anything after the end of the gzip stream is not part of the body.
      if (z.avail_in > 0) return zlibDecodeError(Z_DATA_ERROR);
      return {};
    }
    // Z_BUF_ERROR: no progress was possible; the input is used up.
    if (result == Z_BUF_ERROR || (z.avail_in == 0 && z.avail_out > 0))
      return {};
  }
}

WebServerResult WebServerGZipDecoder::close() {
  const bool truncated = !finished_;
  stream_.reset();
  if (truncated) {
    // Close the sink all the same so that it releases what it holds.
    (void)next_.close();
    return zlibDecodeError(Z_BUF_ERROR);
  }
  return next_.close();
}

} // namespace ombrelia
