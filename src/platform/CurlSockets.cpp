#include "platform/CurlSockets.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ombrelia::platform {
namespace {

// The address as text, the way libcurl writes a connection's primary address, and its port.
bool readAddress(const sockaddr_storage& address, std::string& text, int& port) {
  char buffer[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    if (::inet_ntop(AF_INET, &v4.sin_addr, buffer, sizeof(buffer)) == nullptr) return false;
    port = ntohs(v4.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (::inet_ntop(AF_INET6, &v6.sin6_addr, buffer, sizeof(buffer)) == nullptr) return false;
    port = ntohs(v6.sin6_port);
  } else {
    return false;
  }
  text = buffer;
  return true;
}

}  // namespace

void CurlSockets::adopt(CURL* easy) {
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &CurlSockets::open);
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
  // A connection keeps the close callback of the transfer that opened it, and outlives it.
  curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &CurlSockets::close);
  curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
}

curl_socket_t CurlSockets::open(void* self, curlsocktype, curl_sockaddr* address) {
  const curl_socket_t socket =
      ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (socket != CURL_SOCKET_BAD) {
    auto* sockets = static_cast<CurlSockets*>(self);
    sockets->sockets_[socket] = Ends{};
    sockets->watch_.opened(socket);
  }
  return socket;
}

int CurlSockets::close(void* self, curl_socket_t socket) {
  auto* sockets = static_cast<CurlSockets*>(self);
  sockets->sockets_.erase(socket);
  // While the number is still this socket's: once closed, it may be another's at once.
  sockets->watch_.closing(socket);
  return ::close(socket);
}

CurlSockets::Ends CurlSockets::endsOf(curl_socket_t socket) {
  Ends ends;
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      !readAddress(address, ends.peerAddress, ends.peerPort)) {
    return {};
  }
  std::string ignored;
  length = sizeof(address);
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      !readAddress(address, ignored, ends.localPort)) {
    return {};
  }
  return ends;
}

curl_socket_t CurlSockets::find(const std::string& peerAddress, int peerPort, int localPort) {
  for (auto& [socket, ends] : sockets_) {
    if (ends.localPort == 0) ends = endsOf(socket);
    if (ends.localPort == localPort && ends.peerPort == peerPort &&
        ends.peerAddress == peerAddress) {
      return socket;
    }
  }
  return CURL_SOCKET_BAD;
}

}  // namespace ombrelia::platform
