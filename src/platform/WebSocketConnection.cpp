// GCC flags the fences inside Boost.Asio under ThreadSanitizer (-Wtsan); they are Asio's own
// and sound. Set before any include so that it covers the standard headers too.
#if defined(__GNUC__) && !defined(__clang__) && defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "platform/WebSocketConnection.hpp"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <thread>
#include <type_traits>
#include <utility>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

namespace ombrelia::platform {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

struct IoLoop {
  net::io_context context{1};
  net::executor_work_guard<net::io_context::executor_type> guard{context.get_executor()};
  std::thread thread;
};

IoLoop* ioLoop = nullptr;

// At exit the thread stops before the program's static objects are destroyed (this handler is
// registered after they were made, so it runs before their destructors): Asio's OpenSSL set-up
// keeps its state in such a static, and every TLS context a session makes or frees on the thread
// refers to it. The context itself is never destroyed: handlers still queued keep their sessions
// until the process ends, and an open() during the exit only queues one that never runs.
void stopIoLoop() {
  ioLoop->context.stop();
  if (ioLoop->thread.joinable() && ioLoop->thread.get_id() != std::this_thread::get_id()) {
    ioLoop->thread.join();
  }
}

// The library's WebSocket I/O thread, made on first use.
net::io_context& ioContext() {
  static IoLoop* loop = [] {
    ioLoop = new IoLoop();
    ioLoop->thread = std::thread([] { ioLoop->context.run(); });
    std::atexit(stopIoLoop);
    return ioLoop;
  }();
  return loop->context;
}

struct Endpoint {
  bool tls = false;
  bool ipHost = false;
  std::string host;
  std::string port;
  std::string hostHeader;
  std::string target;
};

std::optional<Endpoint> endpointOf(const Url& url) {
  if (url.scheme() != "ws" && url.scheme() != "wss") return std::nullopt;
  if (!url.host() || url.host()->empty()) return std::nullopt;
  Endpoint endpoint;
  endpoint.tls = url.scheme() == "wss";
  endpoint.host = *url.host();
  endpoint.port = std::to_string(url.port().value_or(endpoint.tls ? 443 : 80));
  endpoint.hostHeader = url.authority();
  endpoint.target = url.path().empty() ? "/" : url.path();
  if (url.query()) endpoint.target += "?" + *url.query();
  boost::system::error_code ec;
  net::ip::make_address(endpoint.host, ec);
  endpoint.ipHost = !ec;
  return endpoint;
}

}  // namespace

// Everything below runs on the I/O thread; the public operations only post to it, so the fields
// need no lock.
class WebSocketConnection::Session : public std::enable_shared_from_this<Session> {
 public:
  virtual ~Session() = default;
  virtual void begin() = 0;
  virtual void enqueue(std::string text, SendCompletion completion) = 0;
  virtual void cancelNow() = 0;
  virtual void consumedNow(size_t bytes) = 0;
};

namespace {

template <bool Tls>
class BasicSession final : public WebSocketConnection::Session {
  using Layer = std::conditional_t<Tls, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;
  using Settings = WebSocketConnection::Settings;
  using Callbacks = WebSocketConnection::Callbacks;
  using SendCompletion = WebSocketConnection::SendCompletion;

  struct PendingSend {
    std::string text;
    SendCompletion completion;
  };

 public:
  // Holds plain values only: open() may run on any thread, including one still busy while the
  // process exits. Everything that touches Asio or OpenSSL is made in begin(), on the I/O thread,
  // which the exit stops before the statics they rely on are destroyed.
  BasicSession(Endpoint endpoint, Settings settings, Callbacks callbacks)
      : endpoint_(std::move(endpoint)), settings_(settings), callbacks_(std::move(callbacks)) {}

  void begin() override {
    build();
    if (finished_) return;
    auto self = shared();
    timer_->expires_after(settings_.handshakeTimeout);
    timer_->async_wait([self](beast::error_code ec) {
      if (!ec && !self->open_) self->fail("The request timed out.");
    });
    resolver_->async_resolve(endpoint_.host, endpoint_.port,
                             [self](beast::error_code ec, tcp::resolver::results_type results) {
                               self->onResolve(ec, std::move(results));
                             });
  }

  void enqueue(std::string text, SendCompletion completion) override {
    if (finished_) {
      if (completion) completion("Socket is not connected");
      return;
    }
    if (queuedBytes_ + text.size() > WebSocketConnection::kMaxQueuedBytes) {
      if (completion) completion("The send queue is full");
      return;
    }
    queuedBytes_ += text.size();
    queue_.push_back(PendingSend{std::move(text), std::move(completion)});
    writeNext();
  }

  void consumedNow(size_t bytes) override {
    unconsumedBytes_ -= std::min(bytes, unconsumedBytes_);
    if (unconsumedMessages_ > 0) --unconsumedMessages_;
    readIfRoom();
  }

  void cancelNow() override {
    if (finished_) return;
    finished_ = true;
    cancelled_ = true;
    callbacks_ = {};
    closeTransport();
    dropQueued(std::nullopt);
  }

 private:
  void build() {
    resolver_.emplace(ioContext());
    timer_.emplace(ioContext());
    if constexpr (Tls) {
      sslContext_.emplace(net::ssl::context::tls_client);
      // The default paths honour SSL_CERT_FILE and SSL_CERT_DIR; read per connection so that a
      // changed trust store applies to the next connection.
      boost::system::error_code ignored;
      sslContext_->set_default_verify_paths(ignored);
      sslContext_->set_verify_mode(net::ssl::verify_peer);
      ws_.emplace(ioContext(), *sslContext_);
    } else {
      ws_.emplace(ioContext());
    }
  }

  std::shared_ptr<BasicSession> shared() {
    return std::static_pointer_cast<BasicSession>(shared_from_this());
  }

  void onResolve(beast::error_code ec, tcp::resolver::results_type results) {
    if (finished_) return;
    if (ec) return fail(ec.message());
    auto self = shared();
    beast::get_lowest_layer(*ws_).async_connect(
        results, [self](beast::error_code ec, const tcp::endpoint&) { self->onConnect(ec); });
  }

  void onConnect(beast::error_code ec) {
    if (finished_) return;
    if (ec) return fail(ec.message());
    if constexpr (Tls) {
      SSL* ssl = ws_->next_layer().native_handle();
      const char* host = endpoint_.host.c_str();
      X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      // Server name indication carries host names only; an address is matched against the
      // certificate's IP entries instead.
      bool named = endpoint_.ipHost ? X509_VERIFY_PARAM_set1_ip_asc(param, host) == 1
                                    : SSL_set_tlsext_host_name(ssl, host) == 1 &&
                                          X509_VERIFY_PARAM_set1_host(param, host, 0) == 1;
      if (!named) return fail("The server name could not be set for verification");
      auto self = shared();
      ws_->next_layer().async_handshake(net::ssl::stream_base::client,
                                        [self](beast::error_code ec) {
                                          if (self->finished_) return;
                                          if (ec) return self->fail(ec.message());
                                          self->handshake();
                                        });
    } else {
      handshake();
    }
  }

  void handshake() {
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = settings_.handshakeTimeout;
    timeouts.idle_timeout = settings_.idleTimeout;
    timeouts.keep_alive_pings = true;
    ws_->set_option(timeouts);
    ws_->read_message_max(settings_.maxMessageBytes);
    auto self = shared();
    ws_->async_handshake(endpoint_.hostHeader, endpoint_.target,
                         [self](beast::error_code ec) { self->onHandshake(ec); });
  }

  void onHandshake(beast::error_code ec) {
    if (finished_) return;
    if (ec) return fail(ec.message());
    open_ = true;
    timer_->cancel();
    if (callbacks_.onOpen) callbacks_.onOpen();
    if (finished_) return;
    readIfRoom();
    writeNext();
  }

  // One read at a time, and none while the receiver is behind: the next frame is read when
  // the ones handed over have been handled, as far as the bounds allow.
  void readIfRoom() {
    if (!open_ || reading_ || finished_) return;
    if (unconsumedMessages_ >= WebSocketConnection::kMaxUnconsumedMessages ||
        unconsumedBytes_ >= WebSocketConnection::kMaxUnconsumedBytes) {
      return;
    }
    reading_ = true;
    auto self = shared();
    ws_->async_read(buffer_, [self](beast::error_code ec, size_t) { self->onRead(ec); });
  }

  void onRead(beast::error_code ec) {
    reading_ = false;
    if (finished_) return;
    if (ec) return fail(ec.message());
    std::string bytes = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    // The buffer keeps its largest size otherwise: up to a whole frame per connection.
    buffer_.shrink_to_fit();
    const bool text = ws_->got_text();
    const bool delivered =
        text ? static_cast<bool>(callbacks_.onText) : static_cast<bool>(callbacks_.onBinary);
    if (delivered) {
      unconsumedBytes_ += bytes.size();
      ++unconsumedMessages_;
    }
    if (text) {
      if (callbacks_.onText) callbacks_.onText(std::move(bytes));
    } else if (callbacks_.onBinary) {
      callbacks_.onBinary(Data(std::move(bytes)));
    }
    readIfRoom();
  }

  void writeNext() {
    if (!open_ || writing_ || finished_ || queue_.empty()) return;
    writing_ = true;
    ws_->text(true);
    auto self = shared();
    ws_->async_write(net::buffer(queue_.front().text),
                     [self](beast::error_code ec, size_t) { self->onWrite(ec); });
  }

  void onWrite(beast::error_code ec) {
    writing_ = false;
    PendingSend sent = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= sent.text.size();
    if (cancelled_) return;
    if (ec) {
      if (sent.completion) sent.completion(ec.message());
      return fail(ec.message());
    }
    if (sent.completion) sent.completion(std::nullopt);
    writeNext();
  }

  void fail(const std::string& reason) {
    if (finished_) return;
    finished_ = true;
    closeTransport();
    dropQueued(reason);
    auto onClose = std::move(callbacks_.onClose);
    callbacks_ = {};
    if (onClose) onClose(reason);
  }

  // Sends that never went out fail with the reason (none after a cancel); a write in flight
  // stays listed until its handler runs.
  void dropQueued(const std::optional<std::string>& reason) {
    size_t inFlight = writing_ ? 1 : 0;
    std::deque<PendingSend> dropped;
    while (queue_.size() > inFlight) {
      queuedBytes_ -= queue_.back().text.size();
      dropped.push_front(std::move(queue_.back()));
      queue_.pop_back();
    }
    if (!reason) return;
    for (auto& send : dropped) {
      if (send.completion) send.completion(*reason);
    }
  }

  void closeTransport() {
    timer_->cancel();
    resolver_->cancel();
    beast::error_code ignored;
    beast::get_lowest_layer(*ws_).socket().close(ignored);
  }

  Endpoint endpoint_;
  Settings settings_;
  Callbacks callbacks_;
  // Made by build(), on the I/O thread.
  std::optional<net::ssl::context> sslContext_;  // TLS only; must outlive the stream
  std::optional<tcp::resolver> resolver_;
  std::optional<net::steady_timer> timer_;  // bounds the whole opening
  std::optional<websocket::stream<Layer>> ws_;
  beast::flat_buffer buffer_;
  std::deque<PendingSend> queue_;
  size_t queuedBytes_ = 0;
  size_t unconsumedBytes_ = 0;
  size_t unconsumedMessages_ = 0;
  bool open_ = false;
  bool reading_ = false;
  bool writing_ = false;
  bool finished_ = false;
  bool cancelled_ = false;
};

// Stands for a URL that cannot open: it only reports its end, once, on the I/O thread.
class UnopenableSession final : public WebSocketConnection::Session {
 public:
  explicit UnopenableSession(WebSocketConnection::Callbacks callbacks)
      : callbacks_(std::move(callbacks)) {}
  void begin() override {
    auto onClose = std::move(callbacks_.onClose);
    callbacks_ = {};
    if (onClose) onClose("unsupported URL");
  }
  void enqueue(std::string, WebSocketConnection::SendCompletion completion) override {
    if (completion) completion("Socket is not connected");
  }
  void cancelNow() override { callbacks_ = {}; }
  void consumedNow(size_t) override {}

 private:
  WebSocketConnection::Callbacks callbacks_;
};

}  // namespace

std::shared_ptr<WebSocketConnection> WebSocketConnection::open(const Url& url, Settings settings,
                                                               Callbacks callbacks) {
  std::shared_ptr<Session> session;
  auto endpoint = endpointOf(url);
  if (!endpoint) {
    session = std::make_shared<UnopenableSession>(std::move(callbacks));
  } else if (endpoint->tls) {
    session =
        std::make_shared<BasicSession<true>>(std::move(*endpoint), settings, std::move(callbacks));
  } else {
    session =
        std::make_shared<BasicSession<false>>(std::move(*endpoint), settings, std::move(callbacks));
  }
  net::post(ioContext(), [session] { session->begin(); });
  return std::shared_ptr<WebSocketConnection>(new WebSocketConnection(std::move(session)));
}

WebSocketConnection::WebSocketConnection(std::shared_ptr<Session> session)
    : session_(std::move(session)) {}

WebSocketConnection::~WebSocketConnection() { cancel(); }

void WebSocketConnection::sendText(std::string text, SendCompletion completion) {
  net::post(ioContext(), [session = session_, text = std::move(text),
                          completion = std::move(completion)]() mutable {
    session->enqueue(std::move(text), std::move(completion));
  });
}

void WebSocketConnection::consumed(size_t bytes) {
  net::post(ioContext(), [session = session_, bytes] { session->consumedNow(bytes); });
}

void WebSocketConnection::cancel() {
  net::post(ioContext(), [session = session_] { session->cancelNow(); });
}

}  // namespace ombrelia::platform
