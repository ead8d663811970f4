#include "datachannel/DCLibDC.hpp"

namespace ombrelia::datachannel {

DCConfiguration DCLibDC::rtcConfiguration(
    std::vector<std::string> iceServers, std::optional<std::string> proxyServer,
    std::optional<std::string> bindAddress, int certificateType, int iceTransportPolicy,
    bool enableIceTcp, bool enableIceUdpMux, bool disableAutoNegotiation, bool forceMediaTransport,
    uint16_t portRangeBegin, uint16_t portRangeEnd, std::optional<int> mtu,
    std::optional<int> maxMessageSize) {
  DCConfiguration config;
  config.iceServers = std::move(iceServers);
  config.proxyServer = std::move(proxyServer);
  config.bindAddress = std::move(bindAddress);
  config.certificateType = certificateType;
  config.iceTransportPolicy = iceTransportPolicy;
  config.enableIceTcp = enableIceTcp;
  config.enableIceUdpMux = enableIceUdpMux;
  config.disableAutoNegotiation = disableAutoNegotiation;
  config.forceMediaTransport = forceMediaTransport;
  config.portRangeBegin = portRangeBegin;
  config.portRangeEnd = portRangeEnd;
  // Non-positive sizes mean "the default", as in the C shape where 0 is unset.
  if (mtu && *mtu > 0) config.mtu = static_cast<size_t>(*mtu);
  if (maxMessageSize && *maxMessageSize > 0) {
    config.maxMessageSize = static_cast<size_t>(*maxMessageSize);
  }
  return config;
}

}  // namespace ombrelia::datachannel
