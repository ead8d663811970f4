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
  // "stun:host[:port]" URLs (port 3478 by default); the agent uses the first one. Other schemes
  // are skipped with a log line: there is no TURN support.
  std::vector<std::string> iceServers;
  // Not supported: connections are always direct.
  std::optional<std::string> proxyServer;
  // A local IP address to gather host candidates on only ("127.0.0.1" adds loopback, which the
  // ICE agent otherwise ignores); none gathers on every interface.
  std::optional<std::string> bindAddress;
  // Descriptors the connection may hold, at most: it gathers on no more of the local addresses
  // (as found when it is made) than fit, so an owner that counted its sockets before making it
  // holds it to that count. None: every address.
  std::optional<size_t> maxSockets;
  // Every kind gives a self-signed ECDSA P-256 certificate, which every WebRTC stack accepts.
  int certificateType = 0;
  // Only 0 (all candidates) is meaningful: without TURN there are no relay candidates.
  int iceTransportPolicy = 0;
  // Not supported: candidates are UDP only.
  bool enableIceTcp = false;
  // Not supported: each connection has its own UDP socket.
  bool enableIceUdpMux = false;
  // When true, neither creating a channel nor applying an offer produces a local description
  // by itself; the caller asks with setLocalDescription().
  bool disableAutoNegotiation = false;
  // Not used: sessions carry data channels only.
  bool forceMediaTransport = false;
  uint16_t portRangeBegin = 1024;
  uint16_t portRangeEnd = 65535;
  // The DTLS path MTU, at most (and by default) 1200.
  std::optional<size_t> mtu;
  // What this side accepts per message, advertised in its description.
  std::optional<size_t> maxMessageSize;
  // Channels the remote side may hold on this connection at once, announced through
  // onDataChannel and not yet closed. An open past them is refused as it arrives: its stream is
  // reset, and nothing of it is kept or announced. None: as many as there are streams.
  std::optional<size_t> maxRemoteChannels;
  // Channels the remote side may open over the connection's whole life, counting those taken
  // (announced through onDataChannel), whether or not they are still open. Each one taken is
  // answered, and an answer waits in the send queue while the peer's window is shut, so a peer
  // that opens and closes channels again and again would keep this side answering. Past them the
  // connection fails. None: no bound.
  std::optional<size_t> maxRemoteChannelOpens;
  // The labels the remote side may open channels with, when given; an open with any other label
  // is refused the same way.
  std::optional<std::vector<std::string>> remoteChannelLabels;

  // A connection that has not completed ICE, DTLS and SCTP by then fails (state 4).
  std::chrono::milliseconds connectTimeout{15000};
  // Silence from a connected peer for this long reports state 3 ...
  std::chrono::milliseconds consentTimeout{8000};
  // ... and this much more silence reports state 4.
  std::chrono::milliseconds failedTimeout{10000};
};

}  // namespace ombrelia::datachannel
