#pragma once
// The application's thread: create, start, ask for local URLs and clean up from one thread.

#include <memory>
#include <optional>
#include <string>

#include <ombrelia/Export.hpp>
#include <ombrelia/Url.hpp>

namespace ombrelia {

class AnalyticsManager;

// The application's entry to the local reverse proxy of one video: start it, then hand the
// player the local URL of the stream's origin URL.
class OMBRELIA_API ProxyManager {
 public:
  // Takes the analytics manager's service; the manager itself is not kept.
  ProxyManager(const std::string& videoID, const std::string& clientID,
               const AnalyticsManager& analyticsManager);
  ~ProxyManager();
  ProxyManager(const ProxyManager&) = delete;
  ProxyManager& operator=(const ProxyManager&) = delete;

  // Starts the proxy on port 8080, on the loopback addresses. A failure to listen is logged.
  void startServer();
  // The local URL the player reads `url` from, `url` read as browsers read it
  // (Url::parseAsBrowser); absent before startServer() or after cleanup(), when `url` is not an
  // http(s) URL browsers read, or when it is too long for the proxy to serve (both logged;
  // origin URLs up to 16 KiB as browsers write them are always served). A user name and
  // password in `url` stay with the proxy, which sends them to that origin only: the local URL
  // carries neither.
  std::optional<Url> reverseProxyURL(const Url& url) const;
  // Drops the proxy server, which stops listening and frees its port.
  void cleanup();

 private:
  // Tests reach the server behind the manager through it.
  friend class ProxyManagerSeams;
  struct Impl;
  const std::unique_ptr<Impl> impl_;
};

}  // namespace ombrelia
