#pragma once
// Any thread: reads the kernel's socket tables, keeps no state.

#include <cstdint>

namespace ombrelia::test {

// Whether this process holds a listening TCP socket on `port` for IPv4 (`ipv4`) or IPv6
// (`ipv6`). Unlike trying to connect, this cannot be fooled by another test process that took
// the port after us, nor by a client that happened to connect to itself.
bool processListensOn(uint16_t port, bool ipv4 = true, bool ipv6 = true);

}  // namespace ombrelia::test
