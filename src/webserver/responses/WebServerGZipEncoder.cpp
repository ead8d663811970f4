#include "webserver/responses/WebServerGZipEncoder.hpp"

#include <zlib.h>

#include <array>
#include <atomic>
#include <string>

#include "webserver/responses/WebServerResponse.hpp"

namespace ombrelia {
namespace {

// Window bits 15 plus 16: deflate writes the gzip wrapper. Memory level 8 is zlib's default.
constexpr int kGzipEncoderWindowBits = 15 + 16;
constexpr int kMemoryLevel = 8;

WebServerError zlibError(int result) {
  return WebServerError{kWebServerZlibErrorDomain, result, ""};
}

} // namespace

struct WebServerGZipEncoder::Stream {
  z_stream z{};
  bool initialized = false;
  // Where deflate writes, made once: most small pieces give no output, and a fresh zero-filled
  // buffer per piece cost more than deflating it.
  std::array<Bytef, kOutputPieceBytes> out;
  ~Stream() {
    if (initialized)
      deflateEnd(&z);
  }
};

WebServerGZipEncoder::WebServerGZipEncoder(WebServerResponse &response, WebServerBodyReader &next)
    : WebServerBodyEncoder(response, next) {
  response.setContentLength(kWebServerUndefinedResponseLength);
  response.setValueForAdditionalHeader("Content-Encoding", "gzip");
}

WebServerGZipEncoder::~WebServerGZipEncoder() = default;

WebServerResult WebServerGZipEncoder::open() {
  stream_ = std::make_unique<Stream>();
  const int result = deflateInit2(&stream_->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED,
                                  kGzipEncoderWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY);
  if (result != Z_OK) {
    stream_.reset();
    return zlibError(result);
  }
  stream_->initialized = true;
  if (auto opened = next_.open(); !opened) {
    stream_.reset();
    return opened;
  }
  return {};
}

void WebServerGZipEncoder::readData(WebServerReadCompletion completion) {
  if (finished_) {
    completion(WebServerReadResult::end());
    return;
  }
  if (!stream_) {
    completion(WebServerReadResult::failure(zlibError(Z_STREAM_ERROR)));
    return;
  }
  completion_ = std::move(completion);
  pump();
}

// Deflate keeps small pieces in its window and says nothing for many reads in a row. A piece
// that the next reader delivers at once is taken by this loop rather than by a call one level
// deeper: a source of many one-byte pieces would otherwise nest a frame per piece until the
// stack overflows. A piece delivered later, on another thread, starts the loop again there.
// Whichever side moves `turn` first decides who reads on, so exactly one of them does. Each
// piece has a `turn` of its own: once a read is answered, the caller may ask for the next one
// on another thread before this loop has left, and must not meet this loop's last move.
void WebServerGZipEncoder::pump() {
  enum Turn : int { kReading, kPieceWantsMore, kReturned };
  for (;;) {
    auto turn = std::make_shared<std::atomic<int>>(kReading);
    // The encoder lives as long as its response, which the connection holds across reads.
    next_.readData([this, turn](WebServerReadResult input) {
      if (!deflatePiece(std::move(input))) return;
      int expected = kReading;
      if (turn->compare_exchange_strong(expected, kPieceWantsMore))
        return;  // the loop below reads on
      pump();
    });
    int expected = kReading;
    if (turn->compare_exchange_strong(expected, kReturned))
      return;  // the piece comes later; its completion reads on
  }
}

bool WebServerGZipEncoder::deflatePiece(WebServerReadResult input) {
  const auto answer = [this](WebServerReadResult result) {
    auto completion = std::move(completion_);
    completion_ = nullptr;
    completion(std::move(result));
    return false;
  };
  if (!input.ok) return answer(std::move(input));
  z_stream& z = stream_->z;
  const bool atEnd = input.data.empty();
  z.next_in = const_cast<Bytef*>(input.data.bytes());  // zlib's interface is not const-correct
  z.avail_in = static_cast<uInt>(input.data.size());
  std::string output;
  for (;;) {
    z.next_out = stream_->out.data();
    z.avail_out = static_cast<uInt>(stream_->out.size());
    const int result = deflate(&z, atEnd ? Z_FINISH : Z_NO_FLUSH);
    output.append(reinterpret_cast<const char*>(stream_->out.data()),
                  stream_->out.size() - z.avail_out);
    if (result == Z_STREAM_END) {
      finished_ = true;
      break;
    }
    if (result != Z_OK && result != Z_BUF_ERROR)
      return answer(WebServerReadResult::failure(zlibError(result)));
    // More output is pending only while deflate filled the whole piece.
    if (z.avail_out != 0 && z.avail_in == 0 && !atEnd) break;
  }
  if (output.empty()) return true;
  return answer(WebServerReadResult::success(Data(std::move(output))));
}

void WebServerGZipEncoder::close() {
  stream_.reset();
  next_.close();
}

} // namespace ombrelia
