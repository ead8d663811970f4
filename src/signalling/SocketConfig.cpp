#include "signalling/SocketConfig.hpp"

#include <mutex>
#include <utility>

#include "signalling/SignalingClient.hpp"

namespace ombrelia {

namespace {

// The production signalling service. Tests and the demo never reach it: they use the seam.
constexpr const char* kTrackerListProviderServerUrl = "wss://signal.ombrelia.com:443/";

struct Overrides {
  std::mutex mutex;  // guards both fields
  std::optional<Url> endpoint;
  std::optional<NativeWebSocket::Settings> transport;
};

Overrides& overrides() {
  static Overrides* instance = new Overrides();  // lives until the process ends
  return *instance;
}

}  // namespace

SocketConfig::SocketConfig(Url trackerListServerUrl)
    : trackerListServerUrl(std::move(trackerListServerUrl)) {}

SocketConfig SocketConfig::defaultConfig() {
  // Never destroyed: a controller may be built on a library thread while the process exits.
  static const auto* compiledIn = new Url(*Url::parseAbsolute(kTrackerListProviderServerUrl));
  std::lock_guard lock(overrides().mutex);
  return SocketConfig(overrides().endpoint.value_or(*compiledIn));
}

std::shared_ptr<SignalingClient> SocketConfig::buildSignalingClient(const SocketConfig& config) {
  NativeWebSocket::Settings settings;
  {
    std::lock_guard lock(overrides().mutex);
    settings = overrides().transport.value_or(NativeWebSocket::Settings{});
  }
  return SignalingClient::create(NativeWebSocket::create(config.trackerListServerUrl, settings));
}

void SocketConfig::overrideDefaultEndpoint(std::optional<Url> url) {
  std::lock_guard lock(overrides().mutex);
  overrides().endpoint = std::move(url);
}

void SocketConfig::overrideTransportSettings(std::optional<NativeWebSocket::Settings> settings) {
  std::lock_guard lock(overrides().mutex);
  overrides().transport = settings;
}

}  // namespace ombrelia
