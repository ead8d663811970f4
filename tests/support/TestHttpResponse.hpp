#pragma once
// Any thread: a value type.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ombrelia::test {

// How the test HTTP server answers one path.
struct TestHttpResponse {
  enum class Mode {
    normal,
    // Reads the request and never answers.
    stallBeforeHead,
    // Sends the head (with the full Content-Length) and the first half of the body, then
    // stalls.
    stallAfterHead,
    // No Content-Length: the body ends when the server closes the connection.
    closeDelimited,
    // Waits until the test calls TestHttpServer::release() for the path, then answers.
    heldUntilReleased,
    // No Content-Length: the body goes in chunked transfer coding, a few bytes per chunk.
    chunked,
    // As chunked, but only the first half of the body goes, without the last chunk; then it
    // stalls.
    chunkedStallAfterHead,
  };

  int status = 200;
  std::string body;
  std::optional<std::string> contentType;
  std::vector<std::pair<std::string, std::string>> headers;
  // Waited before the head is sent.
  std::chrono::milliseconds delay{0};
  Mode mode = Mode::normal;
  // Answers a "Range: bytes=..." request with 206 and the slice, or 416 when unsatisfiable.
  bool honourRange = false;
  // Keeps the connection open after the answer and reads the next request on it.
  bool keepAlive = false;
  // Bytes sent after the answer as though they belonged to it (a buggy origin or middlebox):
  // with the body when `overrunDelay` is zero, else that long after it, before the connection
  // reads its next request. `onOverrunSent` runs on the server's thread once they are written.
  std::string overrun;
  std::chrono::milliseconds overrunDelay{0};
  std::function<void()> onOverrunSent;
  // An origin that trickles: the head (with `declaredLength` when set, else the body's length),
  // then the body `tricklePieceBytes` at a time, one piece every `trickleInterval`; a body
  // shorter than it declared then stalls. Off while tricklePieceBytes is zero.
  std::optional<size_t> declaredLength;
  size_t tricklePieceBytes = 0;
  std::chrono::milliseconds trickleInterval{0};

  static TestHttpResponse ok(std::string body, std::optional<std::string> contentType = {}) {
    TestHttpResponse response;
    response.body = std::move(body);
    response.contentType = std::move(contentType);
    return response;
  }

  static TestHttpResponse redirect(std::string location, int status = 302) {
    TestHttpResponse response;
    response.status = status;
    response.headers.emplace_back("Location", std::move(location));
    return response;
  }
};

}  // namespace ombrelia::test
