#include "support/TestHttpServer.hpp"

// Asio's handler fences are redundant with the locks of its queues; GCC refuses them under
// ThreadSanitizer, which cannot model a fence, unless told to let them pass.
#if defined(__GNUC__) && !defined(__clang__) && defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include <boost/asio.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

namespace ombrelia::test {
namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Enough for any request head a test sends.
constexpr size_t kMaxHeadBytes = 64 * 1024;

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::optional<TestHttpRequest> parseHead(const std::string& head) {
  std::istringstream lines(head);
  std::string line;
  if (!std::getline(lines, line)) return std::nullopt;
  std::istringstream requestLine(line);
  TestHttpRequest request;
  std::string version;
  if (!(requestLine >> request.method >> request.target >> version)) return std::nullopt;
  request.path = request.target.substr(0, request.target.find('?'));
  while (std::getline(lines, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    request.headers[lowerCase(trim(line.substr(0, colon)))] = trim(line.substr(colon + 1));
  }
  return request;
}

const char* reasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 404:
      return "Not Found";
    case 416:
      return "Range Not Satisfiable";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

// Applies "Range: bytes=first-last", "bytes=first-" or "bytes=-suffix" to the response.
void applyRange(const std::string& range, TestHttpResponse& response) {
  const std::string total = std::to_string(response.body.size());
  const auto unsatisfiable = [&] {
    response.status = 416;
    response.headers.emplace_back("Content-Range", "bytes */" + total);
    response.body.clear();
  };
  if (range.rfind("bytes=", 0) != 0) return;
  const std::string ranges = range.substr(6);
  const auto dash = ranges.find('-');
  if (dash == std::string::npos || ranges.find(',') != std::string::npos) return;
  const size_t size = response.body.size();
  size_t first = 0;
  size_t last = size == 0 ? 0 : size - 1;
  try {
    if (dash == 0) {
      const size_t suffix = std::stoul(ranges.substr(1));
      if (suffix == 0) return unsatisfiable();
      first = suffix >= size ? 0 : size - suffix;
    } else {
      first = std::stoul(ranges.substr(0, dash));
      if (dash + 1 < ranges.size())
        last = std::min(last, size_t(std::stoul(ranges.substr(dash + 1))));
    }
  } catch (const std::exception&) {
    return;
  }
  if (first >= size || first > last) return unsatisfiable();
  response.status = 206;
  response.headers.emplace_back(
      "Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + total);
  response.body = response.body.substr(first, last - first + 1);
}

// The body in chunks of a few bytes, so a reader must decode it to get it back.
std::string chunkedBody(const std::string& body, bool last = true) {
  constexpr size_t kChunkBytes = 7;
  std::string out;
  for (size_t at = 0; at < body.size(); at += kChunkBytes) {
    const std::string chunk = body.substr(at, kChunkBytes);
    char size[16];
    std::snprintf(size, sizeof(size), "%zx\r\n", chunk.size());
    out += size + chunk + "\r\n";
  }
  return last ? out + "0\r\n\r\n" : out;
}

}  // namespace

struct TestHttpServer::Impl {
  struct Connection : std::enable_shared_from_this<Connection> {
    Connection(Impl& owner, tcp::socket socket)
        : server(owner), socket(std::move(socket)), buffer(kMaxHeadBytes), timer(server.io) {}

    void start() {
      asio::async_read_until(
          socket, buffer, "\r\n\r\n",
          [self = shared_from_this()](boost::system::error_code error, size_t length) {
            if (!error) self->onHead(length);
          });
    }

    // `length`: the head's bytes; a kept-alive connection may hold the next request after them.
    void onHead(size_t length) {
      const auto begin = asio::buffers_begin(buffer.data());
      const std::string head(begin, begin + static_cast<std::ptrdiff_t>(length));
      buffer.consume(length);
      auto request = parseHead(head);
      if (!request) return;
      response = server.answer(*request);
      if (response.mode == TestHttpResponse::Mode::stallBeforeHead) {
        server.held.push_back(shared_from_this());
        return;
      }
      if (response.mode == TestHttpResponse::Mode::heldUntilReleased) {
        server.waiting[request->path].push_back(shared_from_this());
        return;
      }
      timer.expires_after(response.delay);
      timer.async_wait([self = shared_from_this()](boost::system::error_code error) {
        if (!error) self->send();
      });
    }

    void send() {
      using Mode = TestHttpResponse::Mode;
      std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " +
                        reasonPhrase(response.status) + "\r\n";
      if (response.contentType) out += "Content-Type: " + *response.contentType + "\r\n";
      const bool chunked =
          response.mode == Mode::chunked || response.mode == Mode::chunkedStallAfterHead;
      if (chunked) {
        out += "Transfer-Encoding: chunked\r\n";
      } else if (response.mode != Mode::closeDelimited) {
        out += "Content-Length: " +
               std::to_string(response.declaredLength.value_or(response.body.size())) + "\r\n";
      }
      for (const auto& [name, value] : response.headers) out += name + ": " + value + "\r\n";
      out += response.keepAlive ? "\r\n" : "Connection: close\r\n\r\n";
      if (response.tricklePieceBytes > 0) {
        outgoing = std::move(out);
        return trickle(0);
      }
      const bool stall =
          response.mode == Mode::stallAfterHead || response.mode == Mode::chunkedStallAfterHead;
      if (chunked) {
        out += stall ? chunkedBody(response.body.substr(0, response.body.size() / 2), false)
                     : chunkedBody(response.body);
      } else {
        out += stall ? response.body.substr(0, response.body.size() / 2) : response.body;
      }
      const bool overrunLater = !response.overrun.empty() && response.overrunDelay.count() > 0;
      if (!response.overrun.empty() && !overrunLater) out += response.overrun;
      outgoing = std::move(out);
      asio::async_write(socket, asio::buffer(outgoing),
                        [self = shared_from_this(), stall, overrunLater](
                            boost::system::error_code error, size_t) {
                          if (!error && self->response.keepAlive && !stall) {
                            if (overrunLater) return self->sendOverrunLater();
                            if (!self->response.overrun.empty()) self->overrunSent();
                            return self->start();
                          }
                          if (stall && self->server.stallClosesOwed > 0) {
                            // closeStalled() came while this half was still being written.
                            --self->server.stallClosesOwed;
                          } else if (stall) {
                            self->server.held.push_back(self);
                            return;
                          }
                          boost::system::error_code ignored;
                          self->socket.shutdown(tcp::socket::shutdown_both, ignored);
                          self->socket.close(ignored);
                        });
    }

    // Writes what is pending (the head, then a piece) and the body from `offset` piece by piece.
    void trickle(size_t offset) {
      asio::async_write(
          socket, asio::buffer(outgoing),
          [self = shared_from_this(), offset](boost::system::error_code error, size_t) {
            if (error) return;
            const auto& r = self->response;
            if (offset >= r.body.size()) {
              if (r.declaredLength.value_or(r.body.size()) > r.body.size()) {
                self->server.held.push_back(self);
              } else if (r.keepAlive) {
                self->start();
              } else {
                boost::system::error_code ignored;
                self->socket.shutdown(tcp::socket::shutdown_both, ignored);
                self->socket.close(ignored);
              }
              return;
            }
            self->timer.expires_after(r.trickleInterval);
            self->timer.async_wait([self, offset](boost::system::error_code waited) {
              if (waited) return;
              const size_t length =
                  std::min(self->response.tricklePieceBytes, self->response.body.size() - offset);
              self->outgoing = self->response.body.substr(offset, length);
              self->trickle(offset + length);
            });
          });
    }

    void sendOverrunLater() {
      timer.expires_after(response.overrunDelay);
      timer.async_wait([self = shared_from_this()](boost::system::error_code error) {
        if (error) return;
        self->outgoing = self->response.overrun;
        asio::async_write(self->socket, asio::buffer(self->outgoing),
                          [self](boost::system::error_code error, size_t) {
                            if (error) return;
                            self->overrunSent();
                            self->start();
                          });
      });
    }

    void overrunSent() {
      if (response.onOverrunSent) response.onOverrunSent();
    }

    Impl& server;
    tcp::socket socket;
    asio::streambuf buffer;
    asio::steady_timer timer;
    TestHttpResponse response;
    std::string outgoing;
  };

  Impl() : acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    port = acceptor.local_endpoint().port();
    accept();
    thread = std::thread([this] { io.run(); });
  }

  ~Impl() {
    io.stop();
    thread.join();
  }

  void accept() {
    acceptor.async_accept([this](boost::system::error_code error, tcp::socket socket) {
      if (error) return;
      ++accepted;
      // What the server has written has reached the client: no small write waits for an ACK.
      boost::system::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      std::make_shared<Connection>(*this, std::move(socket))->start();
      accept();
    });
  }

  TestHttpResponse answer(const TestHttpRequest& request) {
    Handler handler;
    {
      std::lock_guard lock(mutex);
      received.push_back(request);
      auto found = routes.find(request.path);
      if (found != routes.end()) handler = found->second;
    }
    if (!handler) {
      TestHttpResponse missing = TestHttpResponse::ok("not found", "text/plain");
      missing.status = 404;
      return missing;
    }
    TestHttpResponse response = handler(request);
    if (response.honourRange) {
      if (auto range = request.header("range")) applyRange(*range, response);
    }
    return response;
  }

  // Declared first so that it outlives the sockets below.
  asio::io_context io;
  tcp::acceptor acceptor;
  uint16_t port = 0;
  std::atomic<size_t> accepted{0};
  std::thread thread;
  // The server thread's own: connections kept open on purpose by a stalling answer.
  std::vector<std::shared_ptr<Connection>> held;
  // closeStalled() calls that found nothing held yet: the next stalls to finish their write are
  // broken off at once instead.
  int stallClosesOwed = 0;
  // The server thread's own: answers waiting for release(), by path.
  std::map<std::string, std::vector<std::shared_ptr<Connection>>> waiting;

  mutable std::mutex mutex;  // guards routes and received
  std::map<std::string, Handler> routes;
  std::vector<TestHttpRequest> received;
};

TestHttpServer::TestHttpServer() : impl_(std::make_unique<Impl>()) {}

TestHttpServer::~TestHttpServer() = default;

void TestHttpServer::route(const std::string& path, TestHttpResponse response) {
  route(path, [response](const TestHttpRequest&) { return response; });
}

void TestHttpServer::route(const std::string& path, Handler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->routes[path] = std::move(handler);
}

void TestHttpServer::release(const std::string& path) {
  asio::post(impl_->io, [impl = impl_.get(), path] {
    auto found = impl->waiting.find(path);
    if (found == impl->waiting.end()) return;
    auto connections = std::move(found->second);
    impl->waiting.erase(found);
    for (auto& connection : connections) connection->send();
  });
}

void TestHttpServer::closeStalled() {
  asio::post(impl_->io, [impl = impl_.get()] {
    if (impl->held.empty()) ++impl->stallClosesOwed;
    for (auto& connection : impl->held) {
      boost::system::error_code ignored;
      connection->socket.close(ignored);
    }
    impl->held.clear();
  });
}

uint16_t TestHttpServer::port() const { return impl_->port; }

std::string TestHttpServer::url(std::string_view pathAndQuery) const {
  return "http://127.0.0.1:" + std::to_string(port()) + std::string(pathAndQuery);
}

std::vector<TestHttpRequest> TestHttpServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received;
}

size_t TestHttpServer::requestCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received.size();
}

size_t TestHttpServer::connectionCount() const { return impl_->accepted.load(); }

}  // namespace ombrelia::test
