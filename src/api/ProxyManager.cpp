#include <ombrelia/ProxyManager.hpp>

#include <atomic>

#include <ombrelia/AnalyticsManager.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include "analytics/AnalyticsService.hpp"
#include "api/ProxyManagerSeams.hpp"
#include "proxy/HLSProxyServer.hpp"

namespace ombrelia {
namespace {
// -1: the default port.
std::atomic<int> portOverride{-1};
}  // namespace

void ProxyManagerSeams::overridePort(std::optional<uint16_t> port) {
  portOverride.store(port ? *port : -1);
}

uint16_t ProxyManagerSeams::port() {
  const int port = portOverride.load();
  return port < 0 ? HLSProxyServer::kDefaultPort : static_cast<uint16_t>(port);
}

std::shared_ptr<HLSProxyServer> ProxyManagerSeams::server(const ProxyManager& manager) {
  std::lock_guard lock(manager.mutex_);
  return manager.server_;
}

ProxyManager::ProxyManager(const std::string& videoID, const std::string& clientID,
                           const AnalyticsManager& analyticsManager)
    : server_(HLSProxyServer::create(videoID, clientID, analyticsManager.getAnalyticsService())) {}

ProxyManager::~ProxyManager() = default;

void ProxyManager::startServer() {
  std::shared_ptr<HLSProxyServer> server;
  {
    std::lock_guard lock(mutex_);
    server = server_;
  }
  if (!server) {
    OmbreliaLogger::error("Error creating proxy server", OLogModule::proxy);
    return;
  }
  server->start(ProxyManagerSeams::port());
}

std::optional<Url> ProxyManager::reverseProxyURL(const Url& url) const {
  std::lock_guard lock(mutex_);
  if (!server_) return std::nullopt;
  return server_->reverseProxyURL(url);
}

void ProxyManager::cleanup() {
  std::shared_ptr<HLSProxyServer> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped = std::move(server_);
  }
  // A playlist fetch in flight keeps the server alive until it answers, so dropping the pointer
  // alone would leave the port taken and a new proxy for the next stream unable to listen.
  // Accepted connections carry on and get their answers.
  if (dropped) dropped->stop();
}

}  // namespace ombrelia
