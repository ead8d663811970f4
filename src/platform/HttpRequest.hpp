#pragma once
// Any thread: a value type.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <ombrelia/Url.hpp>

#include "platform/HttpResponse.hpp"

namespace ombrelia::platform {

class HttpBodyStream;

// One GET to the origin. Unset limits take the client's settings.
struct HttpRequest {
  Url url;
  // The value of a Range header ("bytes=0-1023"), sent as given.
  std::optional<std::string> range;
  // The whole transfer, connection and redirects included, for a caller with a deadline of its
  // own. Unset, nothing bounds the whole time: the client's silence limit ends a transfer.
  std::optional<std::chrono::milliseconds> timeout;
  std::optional<size_t> maxBodyBytes;
  // The slowest a body may come once it has begun: fewer bytes than `minBytesPerSecond` a second
  // over a `minRateWindow`, and the transfer ends as timed out. Time paused for room (the body
  // gate or the client's budget) does not count; time paused for a reader that takes nothing
  // does. Unset, no minimum: a slow body that keeps coming is left alone.
  std::optional<long> minBytesPerSecond;
  std::optional<std::chrono::seconds> minRateWindow;
  // When set, the body of a 200 answer is handed over as it arrives: called once at its first
  // byte, on the client's own thread (so it must return at once), with the answer's head (no
  // body) and the body's stream. The completion still follows, on the delegate queue, with the
  // whole body, or with the error that broke it off (the stream then fails too).
  std::function<void(HttpResponse head, std::shared_ptr<HttpBodyStream> body)> onBodyStart;
  // When set, asked before the body holds more, on the client's own thread (so it must return
  // at once), with how many bytes more: as the body's room grows with what has arrived (by at
  // most CurlTransfer::kMaxBodyLookAheadBytes beyond it, whatever length the answer declares),
  // twice the new room (the old room is held too while the bytes move over, as the new one is
  // while the body is shrunk to its size at the end). A streamed body asks for each piece as it
  // comes. False pauses the transfer, with
  // the piece not kept, until `resume` (callable once, from any thread) is called; the piece is
  // offered again then. A paused transfer holds its connection; the time it is paused is no
  // silence of the origin's.
  std::function<bool(size_t bytes, std::function<void()> resume)> bodyGate;
  // When set with bodyGate, asked once at the body's first piece with the answer's head and that
  // piece: false, and the body passes without the gate.
  std::function<bool(const HttpResponse& head, std::string_view firstPiece)> bodyGateApplies;
  // When set, told of each piece of body kept, on the client's own thread (so it must return at
  // once), with its length: how a body's progress is followed by whoever holds room for it.
  std::function<void(size_t bytes)> onBodyBytes;
  // When set, told on the client's own thread (so it must return at once) whether the transfer
  // waits for a connection: true when it gives its connection up to wait (at its gate), false
  // each time it has one, before its request goes (every hop and try). It starts waiting.
  std::function<void(bool awaiting)> onConnectionWait;
  // When set, told on the client's own thread (so it must return at once) as the transfer ends,
  // whatever its outcome, before its completion is queued: from here its body moves no more,
  // however long the completion waits on the delegate queue.
  std::function<void()> onFinished;
};

}  // namespace ombrelia::platform
