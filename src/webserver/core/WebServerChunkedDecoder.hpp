#pragma once
// One connection's steps at a time: a decoder belongs to one connection.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace ombrelia {

// Undoes the chunked transfer coding of a request body as its bytes arrive. Chunk data is
// handed on as it comes, never buffered whole; only a size line or the trailers are held, each
// bounded.
class WebServerChunkedDecoder {
public:
  // 16 hexadecimal digits already exceed any body we accept; more can only be an attack on the
  // number parser.
  static constexpr size_t kMaxChunkSizeDigits = 16;
  // A size line with its extensions, which we ignore.
  static constexpr size_t kMaxChunkLineBytes = 4 * 1024;
  // Trailers are ignored; they are allowed the size of a small head.
  static constexpr size_t kMaxTrailerBytes = 16 * 1024;

  enum class State {
    needMore,         // every byte was used; send more
    complete,         // the last chunk and the trailers arrived
    invalidSize,      // a size that is empty, not hexadecimal or too long
    missingCRLF,      // chunk data not followed by CR LF
    lineTooLong,      // a size line past kMaxChunkLineBytes
    trailersTooLarge, // trailers past kMaxTrailerBytes
    bodyTooLarge,     // a chunk past what remains of the cap
    sinkFailed,       // the sink refused data
  };

  // Receives each piece of chunk data; returns false to stop decoding.
  using Sink = std::function<bool(std::string_view data)>;

  WebServerChunkedDecoder(uint64_t maxBodyBytes, Sink sink);

  // Decodes as far as the bytes go. After `complete` the remaining bytes are not part of the
  // body and are ignored; after an error nothing more is decoded.
  State append(std::string_view bytes);
  State state() const { return state_; }
  uint64_t decodedBytes() const { return decodedBytes_; }

private:
  enum class Phase { sizeLine, data, dataCRLF, trailers, done };
  State fail(State state) { return state_ = state; }
  State parseSizeLine(std::string_view line);

  uint64_t maxBodyBytes_;
  Sink sink_;
  State state_ = State::needMore;
  Phase phase_ = Phase::sizeLine;
  std::string line_; // the partial size line, the partial CR LF after data, or the trailers
  uint64_t remainingInChunk_ = 0;
  uint64_t decodedBytes_ = 0;
};

} // namespace ombrelia
