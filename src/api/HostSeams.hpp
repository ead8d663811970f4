#pragma once
// The application's thread, before the first ProxyManager starts.

#include <cstdint>
#include <optional>

#include <ombrelia/Export.hpp>
#include <ombrelia/Url.hpp>

namespace ombrelia {

// Internal seams for the example host application, which the demo and the end-to-end tests run
// as several viewers on one machine with no route out: each viewer needs its own proxy port, a
// local tracker (or a closed loopback port) instead of the compiled-in one, and peer connections
// bound to loopback without STUN servers. An application never calls these: the compiled-in
// port, tracker and ICE servers are those of a real deployment. They are exported from the
// shared library because the host links it as an application does; keep them this few.
class OMBRELIA_API HostSeams {
 public:
  HostSeams() = delete;

  // The port ProxyManager::startServer() listens on from now on (0: one the system chooses);
  // none restores 8080.
  static void overrideProxyPort(std::optional<uint16_t> port);
  // The signalling endpoint every new signalling client connects to; none restores the
  // compiled-in one.
  static void overrideTrackerEndpoint(std::optional<Url> url);
  // Peer connections of the library's own data-channel framework, with no ICE servers and host
  // candidates on 127.0.0.1 only.
  static void useLoopbackPeers();
};

}  // namespace ombrelia
