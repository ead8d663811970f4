#include <ombrelia/ProxyManager.hpp>

#include <atomic>
#include <mutex>

#include <ombrelia/AnalyticsManager.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include "analytics/AnalyticsManagerAccess.hpp"
#include "analytics/AnalyticsService.hpp"
#include "api/ProxyManagerSeams.hpp"
#include "proxy/HLSProxyServer.hpp"
#include "proxy/PluginActivator.hpp"

namespace ombrelia {
namespace {
// -1: the default port.
std::atomic<int> portOverride{-1};
}  // namespace

struct ProxyManager::Impl {
  explicit Impl(std::shared_ptr<HLSProxyServer> server) : server(std::move(server)) {}

  std::mutex mutex;  // guards the two fields below
  std::shared_ptr<HLSProxyServer> server;
  std::optional<ProxyStartError> lastStartError;
};

void ProxyManagerSeams::overridePort(std::optional<uint16_t> port) {
  portOverride.store(port ? *port : -1);
}

uint16_t ProxyManagerSeams::port() {
  const int port = portOverride.load();
  return port < 0 ? HLSProxyServer::kDefaultPort : static_cast<uint16_t>(port);
}

std::shared_ptr<HLSProxyServer> ProxyManagerSeams::server(const ProxyManager& manager) {
  std::lock_guard lock(manager.impl_->mutex);
  return manager.impl_->server;
}

ProxyManager::ProxyManager(const std::string& videoID, const std::string& clientID,
                           const AnalyticsManager& analyticsManager)
    : impl_(std::make_unique<Impl>(HLSProxyServer::create(
          videoID, clientID, AnalyticsManagerAccess::getAnalyticsService(analyticsManager)))) {}

// Dropped alone, a server whose playlist fetch is in flight would go on listening and serving
// until that fetch ends, and a new manager could not take the port meanwhile.
ProxyManager::~ProxyManager() { cleanup(); }

bool ProxyManager::startServer() {
  std::shared_ptr<HLSProxyServer> server;
  {
    std::lock_guard lock(impl_->mutex);
    server = impl_->server;
  }
  const uint16_t port = ProxyManagerSeams::port();
  std::optional<ProxyStartError> failure;
  if (!server) {
    OmbreliaLogger::error("Error creating proxy server", OLogModule::proxy);
    failure = ProxyStartError{ProxyStartError::Cause::cleanedUp, port,
                              "cleanup() dropped the proxy server"};
  } else {
    failure = server->start(port);
  }
  std::lock_guard lock(impl_->mutex);
  impl_->lastStartError = std::move(failure);
  return server && server->port().has_value();
}

bool ProxyManager::isListening() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->server && impl_->server->port().has_value();
}

std::optional<ProxyStartError> ProxyManager::lastStartError() const {
  std::lock_guard lock(impl_->mutex);
  if (impl_->lastStartError || !impl_->server) return impl_->lastStartError;
  // Started, then back from the background to find the port taken: listening stopped without
  // any call of the application's, which learns why here.
  return impl_->server->resumeFailure();
}

std::optional<Url> ProxyManager::reverseProxyURL(const Url& url) const {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->server) return std::nullopt;
  return impl_->server->reverseProxyURL(url);
}

void ProxyManager::cleanup() {
  std::shared_ptr<HLSProxyServer> dropped;
  {
    std::lock_guard lock(impl_->mutex);
    dropped = std::move(impl_->server);
  }
  // A playlist fetch in flight keeps the server alive until it answers, so dropping the pointer
  // alone would leave the port taken and a new proxy for the next stream unable to listen.
  // Accepted connections carry on and get their answers, from the origin: the peer side goes at
  // once, or it would go on beside the next video's while such an answer is in flight.
  if (!dropped) return;
  dropped->stop();
  dropped->pluginActivator()->retire();
}

}  // namespace ombrelia
