#pragma once
// Any thread: a plain value, copied into each connection at creation.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ombrelia::datachannel {

// The settings of one peer connection, field for field those of the rtcConfiguration shape that
// callers of this framework expect, plus the timeouts that tests shorten.
struct DCConfiguration {
  // "stun:host[:port]" URLs; other schemes are ignored with a log line.
  std::vector<std::string> iceServers;
  // Accepted for shape compatibility; this framework connects directly.
  std::optional<std::string> proxyServer;
  // A local IP address to gather host candidates on only ("127.0.0.1" adds loopback, which the
  // ICE agent otherwise ignores); none gathers on every interface.
  std::optional<std::string> bindAddress;
  // 0 default (ECDSA P-256), 1 ECDSA P-256; RSA kinds fall back to ECDSA with a log line.
  int certificateType = 0;
  // 0 all candidates, 1 relay only (no relay support here, so nothing would connect).
  int iceTransportPolicy = 0;
  bool enableIceTcp = false;
  bool enableIceUdpMux = false;
  // When true, neither creating a channel nor applying an offer produces a local description
  // by itself; the caller asks with setLocalDescription().
  bool disableAutoNegotiation = false;
  bool forceMediaTransport = false;
  uint16_t portRangeBegin = 1024;
  uint16_t portRangeEnd = 65535;
  std::optional<size_t> mtu;
  // What this side accepts per message, advertised in its description.
  std::optional<size_t> maxMessageSize;

  // A connection that has not completed ICE, DTLS and SCTP by then fails (state 4).
  std::chrono::milliseconds connectTimeout{15000};
  // Silence from a connected peer for this long reports state 3 ...
  std::chrono::milliseconds consentTimeout{8000};
  // ... and this much more silence reports state 4.
  std::chrono::milliseconds failedTimeout{10000};
};

}  // namespace ombrelia::datachannel
