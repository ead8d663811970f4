#pragma once
// Any thread.

#include <memory>
#include <optional>

#include <ombrelia/Url.hpp>

namespace ombrelia {

class SignalingClient;

// Where the signalling connection goes.
struct SocketConfig {
  Url trackerListServerUrl;

  // The compiled-in endpoint, or the override set through the seam below.
  static SocketConfig defaultConfig();
  [[nodiscard]] static std::shared_ptr<SignalingClient>
  buildSignalingClient(const SocketConfig& config);

  // Internal seam for tests and the example application: every client built afterwards from
  // the default configuration goes to this endpoint instead (a local test tracker, or a closed
  // loopback port), so nothing reaches for the real service.
  static void setDefaultEndpointOverride(std::optional<Url> endpoint);
};

}  // namespace ombrelia
