#include "support/LoopbackClient.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace ombrelia::test {

std::optional<LoopbackClient> LoopbackClient::connect(uint16_t port, bool ipv6) {
  const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return std::nullopt;
  int result;
  if (ipv6) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    result = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    result = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
  }
  if (result != 0) {
    ::close(fd);
    return std::nullopt;
  }
  return LoopbackClient(fd);
}

LoopbackClient::LoopbackClient(LoopbackClient&& other) noexcept
    : fd_(other.fd_),
      closed_(other.closed_),
      reset_(other.reset_),
      received_(std::move(other.received_)) {
  other.fd_ = -1;
}

LoopbackClient &LoopbackClient::operator=(LoopbackClient &&other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    closed_ = other.closed_;
    reset_ = other.reset_;
    received_ = std::move(other.received_);
    other.fd_ = -1;
  }
  return *this;
}

LoopbackClient::~LoopbackClient() { close(); }

void LoopbackClient::close() {
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
}

bool LoopbackClient::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool LoopbackClient::readSome(std::chrono::steady_clock::time_point deadline) {
  if (closed_ || fd_ < 0)
    return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0)
    return false;
  pollfd p{fd_, POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
  if (ready <= 0)
    return false;
  char buffer[65536];
  const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
  if (n <= 0) {
    if (n < 0 && errno == EINTR)
      return true;
    reset_ = n < 0 && errno == ECONNRESET;
    closed_ = true;
    return false;
  }
  received_.append(buffer, static_cast<size_t>(n));
  return true;
}

std::string LoopbackClient::readAll(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (readSome(deadline)) {
  }
  return received_;
}

std::string LoopbackClient::readUntil(std::string_view needle, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (received_.find(needle) == std::string::npos && readSome(deadline)) {
  }
  return received_;
}

std::string LoopbackClient::readAtLeast(size_t bytes, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (received_.size() < bytes && readSome(deadline)) {
  }
  return received_;
}

bool LoopbackClient::waitForClose(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (readSome(deadline)) {
  }
  return closed_;
}

} // namespace ombrelia::test
