#pragma once
// One connection's steps at a time: a parser belongs to one connection.

#include <cstddef>
#include <string>
#include <string_view>

#include "webserver/core/WebServerHeaders.hpp"

namespace ombrelia {

// A parsed request head.
struct WebServerRequestHead {
  std::string method;
  std::string target;  // the request target as sent
  std::string version; // "HTTP/1.0" or "HTTP/1.1"
  WebServerHeaders headers;
};

// Collects the bytes of a request head as they arrive and parses it once the blank line is
// there. Every scan starts where the previous one stopped, so a head that trickles in one byte
// at a time costs linear time.
class WebServerRequestHeadParser {
public:
  // The request line is bounded separately so that an endless target is told apart (414) from
  // an endless list of headers (431). It must hold the reverse proxy's local URL of a 16 KiB
  // origin URL (signed CDN URLs carry policies and signatures of several KiB): that URL holds
  // the origin's path and query, escaped where this parser would refuse a byte raw, then the
  // whole origin URL again as a query value, each at most three bytes for one, so up to six
  // times the origin URL plus its own prefix; the proxy checks at compile time that it fits.
  static constexpr size_t kMaxRequestLineBytes = 100 * 1024;
  // The header fields after the line get the 64 KiB common servers allow for a whole head.
  static constexpr size_t kMaxHeaderFieldBytes = 64 * 1024;
  static constexpr size_t kMaxHeadBytes = kMaxRequestLineBytes + kMaxHeaderFieldBytes;
  // A head of many tiny headers is an attack on the map, not a request.
  static constexpr size_t kMaxHeaderCount = 256;

  enum class State {
    incomplete,         // the blank line has not arrived yet
    complete,           // head() and remainder() are ready
    malformed,          // not an HTTP/1.x request head
    requestLineTooLong, // answer 414
    headTooLarge,       // answer 431
  };

  // Appends bytes and parses as far as possible. Once the state is not `incomplete`, further
  // bytes are ignored.
  State append(std::string_view bytes);
  State state() const { return state_; }

  const WebServerRequestHead &head() const { return head_; }
  // What the bytes collected so far hold in memory.
  size_t heldBytes() const { return buffer_.capacity(); }
  // The bytes that arrived after the blank line: the start of the body.
  std::string_view remainder() const;

  // Parses a whole head (its blank line included or not); for tests and fuzzing.
  static State parse(std::string_view bytes, WebServerRequestHead &head);

private:
  State parseHead(std::string_view head);

  std::string buffer_;
  size_t scanned_ = 0;
  size_t requestLineLength_ = std::string::npos;
  size_t headLength_ = 0;
  State state_ = State::incomplete;
  WebServerRequestHead head_;
};

} // namespace ombrelia
