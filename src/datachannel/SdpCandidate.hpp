#pragma once
// Any thread: a plain value.

#include <cstdint>
#include <optional>
#include <string>

namespace ombrelia::datachannel {

// One ICE candidate as an SDP "candidate:" attribute carries it.
struct SdpCandidate {
  std::string foundation;
  int component = 1;
  std::string transport;  // lower case: "udp" or "tcp"
  uint32_t priority = 0;
  std::string address;  // an IP literal, or a host name such as an mDNS "<uuid>.local"
  uint16_t port = 0;
  std::string type;  // "host", "srflx", "prflx" or "relay"
  std::optional<std::string> relatedAddress;
  std::optional<uint16_t> relatedPort;

  // "candidate:..." without the "a=" prefix.
  std::string line() const;
};

}  // namespace ombrelia::datachannel
