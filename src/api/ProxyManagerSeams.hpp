#pragma once
// The application's thread.

#include <cstdint>
#include <memory>
#include <optional>

namespace ombrelia {

class HLSProxyServer;
class ProxyManager;

// Internal seams of the proxy manager for tests, benches and HostSeams: several viewers on one
// machine need their own port, and tests reach the server behind the manager.
class ProxyManagerSeams {
 public:
  // The port startServer() listens on from now on (0: one the system chooses); none restores
  // 8080.
  static void overridePort(std::optional<uint16_t> port);
  static uint16_t port();
  static std::shared_ptr<HLSProxyServer> server(const ProxyManager& manager);
};

}  // namespace ombrelia
