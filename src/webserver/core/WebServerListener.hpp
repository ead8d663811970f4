#pragma once
// Any thread: accepting runs on the server's I/O threads; close() may be called from any
// thread and returns once the socket is closed.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "webserver/core/WebServerContext.hpp"
#include "webserver/core/WebServerError.hpp"
#include "webserver/core/WebServerLog.hpp"

namespace ombrelia {

// One listening socket (IPv4 or IPv6), watched by one event loop of the pool, which deals the
// accepted connections to all the pool's loops in turn; each connection then runs on its loop.
class WebServerListener : public std::enable_shared_from_this<WebServerListener> {
public:
  // Accepts per readiness event before yielding the thread to other connections.
  static constexpr int kMaxAcceptsPerEvent = 64;
  // When the process runs out of descriptors, accepting pauses this long instead of spinning
  // on a socket that stays readable.
  static constexpr std::chrono::milliseconds kPauseOnDescriptorExhaustion{100};

  // Opens, binds and listens; the port of `address` may be 0. IPv6 sockets are IPv6-only, so
  // that an IPv4 listener can share the port. A failure is logged at `failureLogLevel`.
  static std::optional<int> createListeningSocket(int family, const void *address,
                                                  size_t addressLength, int backlog,
                                                  WebServerError &error,
                                                  int failureLogLevel = kWebServerLogError);

  [[nodiscard]] static std::shared_ptr<WebServerListener>
  create(int socket, bool ipv6, std::shared_ptr<const WebServerContext> context);
  ~WebServerListener();

  void resume();
  void close();

private:
  struct Watcher;
  WebServerListener(int socket, bool ipv6, std::shared_ptr<const WebServerContext> context);
  void waitLocked(Watcher &watcher);
  void onReadable(Watcher &watcher, bool failed);

  int socket_;
  bool ipv6_;
  std::shared_ptr<const WebServerContext> context_;
  // The socket's own address when it is bound to one, which is then every connection's local
  // address; empty when bound to all addresses.
  std::string boundAddress_;
  std::vector<std::unique_ptr<Watcher>> watchers_;
};

} // namespace ombrelia
