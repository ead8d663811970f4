#include "support/ProxyFixture.hpp"

#include <gtest/gtest.h>

#include <ombrelia/ManifestManager.hpp>
#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/VideoStorageManager.hpp>

#include "api/ProxyManagerSeams.hpp"
#include "platform/url/UrlReference.hpp"
#include "proxy/HLSProxyServer.hpp"
#include "signalling/SocketConfig.hpp"
#include "support/ChildProcess.hpp"
#include "support/StreamOrigin.hpp"

namespace ombrelia::test {

Fetched fetchWithCurl(const std::string& url) {
  const auto r = ChildProcess::run({"curl", "-g", "-s", "-w", "\n%{http_code}", url});
  const size_t cut = r.output.rfind('\n');
  return {std::atoi(r.output.c_str() + cut + 1), r.output.substr(0, cut)};
}

ProxyFixture::ProxyFixture(Settings settings) {
  if (!OmbreliaConfig::isConfigured()) OmbreliaConfig::configure("test-key");
  OmbreliaConfig::shared().setCurrentLevel(settings.level);
  SocketConfig::overrideDefaultEndpoint(
      Url::parse("wss://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/"));
  ProxyManagerSeams::overridePort(0);
  analytics_ = AnalyticsManager::create();
  proxy_ = std::make_unique<ProxyManager>("video-1", "client-1", *analytics_);
  proxy_->startServer();
}

ProxyFixture::~ProxyFixture() {
  proxy_.reset();
  // As an application does before its next video: the first playlist stored after this is read
  // as the next stream's master, so tests of one process do not inherit each other's.
  ManifestManager::shared().cleanup();
  // Stored segments are known by video ID, type, quality and number, and every fixture names
  // its stream "video-1", which an application never does for two different videos: without
  // this, the next stream's segments could be answered with this one's bytes.
  VideoStorageManager::shared().removeAll();
}

std::string ProxyFixture::local(const std::string& originURL) const {
  // Read as a player reads a playlist's URI, which may hold what RFC 3986 does not ("{", "|").
  auto origin = UrlReference::read(originURL);
  EXPECT_TRUE(origin) << originURL;
  if (!origin) return std::string();
  auto local = proxy_->reverseProxyURL(origin.value());
  EXPECT_TRUE(local) << "no local URL for " << originURL;
  return local ? local->toString() : std::string();
}

int ProxyFixture::port() const {
  auto server = ProxyManagerSeams::server(*proxy_);
  return server && server->port() ? *server->port() : 0;
}

}  // namespace ombrelia::test
