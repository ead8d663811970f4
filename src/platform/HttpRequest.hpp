#pragma once
// Any thread: a value type.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <ombrelia/Url.hpp>

#include "platform/HttpResponse.hpp"

namespace ombrelia::platform {

class HttpBodyStream;

// One GET to the origin. Unset limits take the client's settings.
struct HttpRequest {
  Url url;
  // The value of a Range header ("bytes=0-1023"), sent as given.
  std::optional<std::string> range;
  // The whole transfer, connection and redirects included.
  std::optional<std::chrono::milliseconds> timeout;
  std::optional<size_t> maxBodyBytes;
  // When set, the body of a 200 answer is handed over as it arrives: called once at its first
  // byte, on the client's own thread (so it must return at once), with the answer's head (no
  // body) and the body's stream. The completion still follows, on the delegate queue, with the
  // whole body, or with the error that broke it off (the stream then fails too).
  std::function<void(HttpResponse head, std::shared_ptr<HttpBodyStream> body)> onBodyStart;
  // When set, asked before the body holds more, on the client's own thread (so it must return
  // at once), with how many bytes more: the whole declared length at the first piece when the
  // answer declares one; past it, as the body's room grows, twice the new room (the old room is
  // held too while the bytes move over, as the new one is while the body is shrunk to its size
  // at the end). A streamed body asks for each piece as it comes. False pauses the transfer, with
  // the piece not kept, until `resume` (callable once, from any thread) is called; the piece is
  // offered again then. A paused transfer holds its connection and its deadline runs on.
  std::function<bool(size_t bytes, std::function<void()> resume)> bodyGate;
};

}  // namespace ombrelia::platform
