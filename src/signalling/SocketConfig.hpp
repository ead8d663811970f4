#pragma once
// Any thread: the default and the override seam are guarded by a lock.

#include <memory>
#include <optional>

#include <ombrelia/Url.hpp>

#include "signalling/NativeWebSocket.hpp"

namespace ombrelia {

class SignalingClient;

// The endpoint of the signalling connection, and the factory of the signalling client over it.
struct SocketConfig {
  explicit SocketConfig(Url trackerListServerUrl);

  Url trackerListServerUrl;

  // The compiled-in endpoint, a secure WebSocket on port 443, unless the seam below names
  // another.
  static SocketConfig defaultConfig();
  // A new client over a new transport on the configuration's endpoint; not yet connected.
  [[nodiscard]] static std::shared_ptr<SignalingClient> buildSignalingClient(
      const SocketConfig& config);

  // Internal seam for tests and the demo: point the default endpoint at a local tracker (or a
  // closed loopback port) and tune the transport; none restores the compiled-in values.
  static void overrideDefaultEndpoint(std::optional<Url> url);
  static void overrideTransportSettings(std::optional<NativeWebSocket::Settings> settings);
};

}  // namespace ombrelia
