#pragma once
// Any thread: every operation may be called from any thread; the callbacks run on the library's
// WebSocket I/O thread, one at a time and in the order of the events.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <ombrelia/Data.hpp>
#include <ombrelia/Url.hpp>

namespace ombrelia::platform {

// One client WebSocket connection over Boost.Beast, ws or wss. For wss the server certificate
// is verified against the system trust store (which honours SSL_CERT_FILE) and must name the
// URL's host. The connection never reconnects: it opens once and ends once.
class WebSocketConnection {
 public:
  // A tracker message is a small JSON object; a megabyte leaves ample room for a long group
  // list and keeps a hostile server from making us buffer without bound.
  static constexpr size_t kMaxMessageBytes = 1 << 20;
  // Received frames handed to onText/onBinary and not yet reported consumed(). Past either
  // bound the connection stops reading, so TCP's flow control holds a server that sends faster
  // than the receiver handles, instead of the frames piling up in memory.
  static constexpr size_t kMaxUnconsumedMessages = 4;
  static constexpr size_t kMaxUnconsumedBytes = kMaxMessageBytes;
  // Writes waiting for a slow or stalled server; past this, sends fail instead of growing.
  static constexpr size_t kMaxQueuedBytes = 8 << 20;

  struct Settings {
    // Name resolution, TCP connect, TLS and WebSocket handshakes together.
    std::chrono::milliseconds handshakeTimeout{10000};
    // Without any frame from the server for this long the connection ends; a ping goes out at
    // half of it, so a healthy but silent server keeps the connection alive with its pongs.
    std::chrono::milliseconds idleTimeout{30000};
    size_t maxMessageBytes = kMaxMessageBytes;
  };

  struct Callbacks {
    std::function<void()> onOpen;
    std::function<void(std::string)> onText;
    std::function<void(Data)> onBinary;
    // Called exactly once when the connection ends by itself (refused, failed, timed out or
    // closed by the server); never after cancel().
    std::function<void(std::string reason)> onClose;
  };

  // Called once per text: no value on success, else the error's description.
  using SendCompletion = std::function<void(std::optional<std::string> error)>;

  // Starts connecting at once. Only ws and wss URLs with a host can open; any other ends with
  // onClose. Dropping the returned handle cancels the connection.
  [[nodiscard]] static std::shared_ptr<WebSocketConnection> open(const Url& url, Settings settings,
                                                                 Callbacks callbacks);

  ~WebSocketConnection();
  WebSocketConnection(const WebSocketConnection&) = delete;
  WebSocketConnection& operator=(const WebSocketConnection&) = delete;

  // Queues one text frame; frames go out one at a time in the order of the calls, once open.
  void sendText(std::string text, SendCompletion completion);
  // The receiver has handled one frame of that many bytes that onText or onBinary gave it;
  // reading goes on once the frames not yet handled are within the bounds above.
  void consumed(size_t bytes);
  // Ends the connection without a close frame and without any further callback.
  void cancel();

  class Session;

 private:
  explicit WebSocketConnection(std::shared_ptr<Session> session);
  std::shared_ptr<Session> session_;
};

}  // namespace ombrelia::platform
