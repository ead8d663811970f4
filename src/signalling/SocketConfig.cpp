#include "signalling/SocketConfig.hpp"

#include <mutex>

#include "signalling/SignalingClient.hpp"

namespace ombrelia {
namespace {

// The production tracker: a secure WebSocket on port 443.
constexpr const char* kDefaultEndpoint = "wss://tracker.ombrelia.net:443/";

std::mutex overrideMutex;
std::optional<Url> endpointOverride;

}  // namespace

SocketConfig SocketConfig::defaultConfig() {
  std::lock_guard lock(overrideMutex);
  if (endpointOverride)
    return SocketConfig{*endpointOverride};
  return SocketConfig{*Url::parse(kDefaultEndpoint)};
}

std::shared_ptr<SignalingClient> SocketConfig::buildSignalingClient(const SocketConfig& config) {
  return SignalingClient::create(config.trackerListServerUrl);
}

void SocketConfig::setDefaultEndpointOverride(std::optional<Url> endpoint) {
  std::lock_guard lock(overrideMutex);
  endpointOverride = std::move(endpoint);
}

}  // namespace ombrelia
