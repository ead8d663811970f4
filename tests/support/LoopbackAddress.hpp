#pragma once
// Any thread: a pure function.

#include <arpa/inet.h>
#include <netinet/in.h>

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

}  // namespace ombrelia::test
