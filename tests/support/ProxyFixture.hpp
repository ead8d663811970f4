#pragma once
// Test thread only.

#include <memory>
#include <string>

#include <ombrelia/AnalyticsManager.hpp>
#include <ombrelia/ProxyManager.hpp>

namespace ombrelia::test {

// What a player gets for a URL, fetched with curl (no URL globbing); status 0 when nothing came.
struct Fetched {
  int status = 0;
  std::string body;
};
Fetched fetchWithCurl(const std::string& url);

// The library configured and its proxy started as an application does it, on a port the system
// chooses, with the signalling endpoint on a closed loopback port so nothing reaches the real
// tracker.
class ProxyFixture {
 public:
  struct Settings {
    std::optional<int64_t> level = 0;  // absent: playlists stay whole
  };
  explicit ProxyFixture(Settings settings);
  ProxyFixture() : ProxyFixture(Settings{}) {}
  ~ProxyFixture();

  ProxyManager& proxy() { return *proxy_; }
  AnalyticsManager& analytics() { return *analytics_; }
  // The local URL of an origin URL, as text.
  std::string local(const std::string& originURL) const;
  int port() const;

 private:
  std::shared_ptr<AnalyticsManager> analytics_;
  std::unique_ptr<ProxyManager> proxy_;
};

}  // namespace ombrelia::test
