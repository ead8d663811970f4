#pragma once
// Any thread: a pure function.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace ombrelia::test {

// 127.0.0.1 at `port` (0: any free port, for bind).
inline sockaddr_in loopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Whether something listening on 127.0.0.1 at `port` takes a connection. Without blocking: a
// listener whose queue is full (another test's, on a port just chosen) would hold a blocking
// connect() for the minutes of SYN retries, while a loopback connect that is taken completes
// within moments.
inline bool acceptsOnLoopback(uint16_t port) {
  constexpr int kConnectPollMs = 200;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address = loopbackAddress(port);
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd pfd{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    connected = ::poll(&pfd, 1, kConnectPollMs) == 1 &&
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  ::close(fd);
  return connected;
}

}  // namespace ombrelia::test
