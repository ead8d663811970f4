#include "webserver/core/WebServerListener.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cerrno>

#include "webserver/core/WebServerConnection.hpp"
#include "webserver/core/WebServerIOPool.hpp"
#include "webserver/core/WebServerLog.hpp"

namespace ombrelia {

namespace asio = boost::asio;
using boost::system::error_code;

// One loop's watch on the listening socket.
struct WebServerListener::Watcher {
  asio::io_context &loop;
  int descriptor;
  asio::ip::tcp::acceptor acceptor;
  asio::steady_timer pause;
  // Guards the descriptor: accepting and closing never overlap, so an accept never runs on a
  // descriptor number that close() has released.
  std::mutex mutex;
  bool closed = false;
  Watcher(asio::io_context &l, int d) : loop(l), descriptor(d), acceptor(l), pause(l) {}
};

namespace {
const char *familyName(bool ipv6) { return ipv6 ? "IPv6" : "IPv4"; }

bool isWildcard(const sockaddr_storage &address) {
  if (address.ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in &>(address).sin_addr.s_addr == htonl(INADDR_ANY);
  }
  if (address.ss_family == AF_INET6) {
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr);
  }
  return true;
}
} // namespace

std::optional<int> WebServerListener::createListeningSocket(int family, const void *address,
                                                            size_t addressLength, int backlog,
                                                            WebServerError &error,
                                                            int failureLogLevel) {
  const bool ipv6 = family == AF_INET6;
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  // Descriptor 0 is a valid socket; only a negative result is a failure.
  if (fd < 0) {
    const int number = errno;
    error = WebServerMakePosixError(number);
    if (WebServerShouldLog(failureLogLevel)) {
      WebServerLogMessage(failureLogLevel, "Failed creating %s listening socket: %s (%i)",
                          familyName(ipv6), error.description.c_str(), number);
    }
    return std::nullopt;
  }
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  if (ipv6) {
    // Without this, Linux refuses a second wildcard listener on the port of the IPv4 one.
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof(yes));
  }
  if (::bind(fd, static_cast<const sockaddr *>(address), static_cast<socklen_t>(addressLength)) !=
      0) {
    const int number = errno;
    error = WebServerMakePosixError(number);
    if (WebServerShouldLog(failureLogLevel)) {
      WebServerLogMessage(failureLogLevel, "Failed binding %s listening socket: %s (%i)",
                          familyName(ipv6), error.description.c_str(), number);
    }
    ::close(fd);
    return std::nullopt;
  }
  if (::listen(fd, backlog) != 0) {
    const int number = errno;
    error = WebServerMakePosixError(number);
    if (WebServerShouldLog(failureLogLevel)) {
      WebServerLogMessage(failureLogLevel, "Failed starting %s listening socket: %s (%i)",
                          familyName(ipv6), error.description.c_str(), number);
    }
    ::close(fd);
    return std::nullopt;
  }
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(kWebServerLogDebug, "Did open %s listening socket %i", familyName(ipv6),
                        fd);
  }
  return fd;
}

std::shared_ptr<WebServerListener>
WebServerListener::create(int socket, bool ipv6, std::shared_ptr<const WebServerContext> context) {
  return std::shared_ptr<WebServerListener>(
      new WebServerListener(socket, ipv6, std::move(context)));
}

WebServerListener::WebServerListener(int socket, bool ipv6,
                                     std::shared_ptr<const WebServerContext> context)
    : socket_(socket), ipv6_(ipv6), context_(std::move(context)) {
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof(bound);
  if (::getsockname(socket, reinterpret_cast<sockaddr *>(&bound), &boundLength) == 0 &&
      !isWildcard(bound)) {
    boundAddress_.assign(reinterpret_cast<const char *>(&bound), boundLength);
  }
  // One loop watches the socket and deals the new connections to the pool's loops in turn.
  // Watching it from every loop woke them all for each client, for one to win the accept, and
  // left each loop's share of the connections to chance: the clients of a loop that won more
  // than its share waited longest.
  auto watcher = std::make_unique<Watcher>(
      WebServerIOPool::context(context_->options.dispatchQueuePriority), socket);
  error_code error;
  watcher->acceptor.assign(ipv6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), socket, error);
  if (error) {
    ::close(socket);
    return;
  }
  watchers_.push_back(std::move(watcher));
}

WebServerListener::~WebServerListener() { close(); }

void WebServerListener::resume() {
  for (auto &watcher : watchers_) {
    std::lock_guard lock(watcher->mutex);
    waitLocked(*watcher);
  }
}

void WebServerListener::waitLocked(Watcher &watcher) {
  if (watcher.closed)
    return;
  watcher.acceptor.async_wait(asio::ip::tcp::acceptor::wait_read,
                              [self = shared_from_this(), &watcher](const error_code &error) {
                                self->onReadable(watcher, static_cast<bool>(error));
                              });
}

void WebServerListener::close() {
  bool closedAny = false;
  error_code lastError;
  for (auto &watcher : watchers_) {
    std::lock_guard lock(watcher->mutex);
    if (watcher->closed)
      continue;
    watcher->closed = true;
    closedAny = true;
    error_code error;
    watcher->pause.cancel();
    watcher->acceptor.close(error);
    if (error)
      lastError = error;
  }
  if (!closedAny || !WebServerShouldLog(kWebServerLogDebug))
    return;
  if (lastError) {
    WebServerLogMessage(kWebServerLogError, "Failed closing %s listening socket: %s (%i)",
                        familyName(ipv6_), lastError.message().c_str(), lastError.value());
  } else {
    WebServerLogMessage(kWebServerLogDebug, "Did close %s listening socket %i", familyName(ipv6_),
                        socket_);
  }
}

void WebServerListener::onReadable(Watcher &watcher, bool failed) {
  std::unique_lock lock(watcher.mutex);
  if (watcher.closed || failed)
    return;
  for (int i = 0; i < kMaxAcceptsPerEvent; ++i) {
    sockaddr_storage remote{};
    socklen_t remoteLength = sizeof(remote);
    const int fd = ::accept4(watcher.descriptor, reinterpret_cast<sockaddr *>(&remote),
                             &remoteLength, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      const int number = errno;
      if (number == EAGAIN || number == EWOULDBLOCK)
        break;
      if (number == EINTR || number == ECONNABORTED || number == EPROTO)
        continue;
      if (WebServerShouldLog(kWebServerLogError)) {
        WebServerLogMessage(kWebServerLogError, "Failed accepting %s socket: %s (%i)",
                            familyName(ipv6_), WebServerMakePosixError(number).description.c_str(),
                            number);
      }
      if (number == EMFILE || number == ENFILE || number == ENOBUFS || number == ENOMEM) {
        watcher.pause.expires_after(kPauseOnDescriptorExhaustion);
        watcher.pause.async_wait([self = shared_from_this(), &watcher](const error_code &error) {
          if (error)
            return;
          std::lock_guard lock(watcher.mutex);
          self->waitLocked(watcher);
        });
        return;
      }
      break;
    }
    WebServerConnectionInit init;
    if (!boundAddress_.empty()) {
      // Bound to one address: every connection arrives on it.
      init.localAddressData = boundAddress_;
    } else {
      sockaddr_storage local{};
      socklen_t localLength = sizeof(local);
      if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLength) != 0 ||
          local.ss_family != remote.ss_family) {
        ::close(fd);
        continue;
      }
      init.localAddressData.assign(reinterpret_cast<const char *>(&local), localLength);
    }
    init.server = context_;
    init.remoteAddressData.assign(reinterpret_cast<const char *>(&remote), remoteLength);
    init.socket = fd;
    init.loop = &WebServerIOPool::context(context_->options.dispatchQueuePriority);
    std::shared_ptr<WebServerConnection> connection;
    try {
      connection = context_->options.connectionClass
                       ? context_->options.connectionClass(std::move(init))
                       : std::make_shared<WebServerConnection>(std::move(init));
    } catch (...) {
      connection = nullptr;
    }
    if (!connection) {
      ::close(fd);
      continue;
    }
    connection->start();
  }
  // Waiting again re-arms the socket's readiness, which reports clients still pending.
  waitLocked(watcher);
}

} // namespace ombrelia
