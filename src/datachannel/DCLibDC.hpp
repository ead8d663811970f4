#pragma once
// Any thread: a stateless builder.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "datachannel/DCConfiguration.hpp"

namespace ombrelia::datachannel {

// The configuration builder in the argument order its callers use.
class DCLibDC {
 public:
  DCLibDC() = delete;

  static DCConfiguration rtcConfiguration(
      std::vector<std::string> iceServers, std::optional<std::string> proxyServer,
      std::optional<std::string> bindAddress, int certificateType, int iceTransportPolicy,
      bool enableIceTcp, bool enableIceUdpMux, bool disableAutoNegotiation,
      bool forceMediaTransport, uint16_t portRangeBegin, uint16_t portRangeEnd,
      std::optional<int> mtu, std::optional<int> maxMessageSize);
};

}  // namespace ombrelia::datachannel
