#pragma once
// The application's thread: create, start, ask for local URLs and clean up from one thread.

#include <memory>
#include <optional>
#include <string>

#include <ombrelia/Export.hpp>
#include <ombrelia/ProxyStartError.hpp>
#include <ombrelia/Url.hpp>

namespace ombrelia {

class AnalyticsManager;

// The application's entry to the local reverse proxy of one video: start it, then hand the
// player the local URL of the stream's origin URL.
//
// One ProxyManager per video identifier. Peers know a segment by video identifier, type,
// quality and number, so another video takes a new manager with its own identifier: cleanup()
// (or destroy) this one, call ManifestManager::shared().cleanup(), then create and start the
// next one. A manager kept across ManifestManager::cleanup() stops sharing with peers (one error
// line says so) rather than hand out the next video's segments as this one's.
class OMBRELIA_API ProxyManager {
 public:
  // Takes the analytics manager's service; the manager itself is not kept.
  ProxyManager(const std::string& videoID, const std::string& clientID,
               const AnalyticsManager& analyticsManager);
  // Does what cleanup() does: the port is free once it returns.
  ~ProxyManager();
  ProxyManager(const ProxyManager&) = delete;
  ProxyManager& operator=(const ProxyManager&) = delete;

  // Starts the proxy on port 8080, on 127.0.0.1 (and on ::1 where the host has it: without it,
  // one warning line, and the proxy serves all the same); true when it listens. When it
  // cannot (the port is another program's, or another ProxyManager's), the failure is logged,
  // lastStartError() tells why, and reverseProxyURL() gives no URL: play the origin URL itself,
  // or call startServer() again later. Calling it while listening does nothing and gives true.
  // False without an error while the application is in the background (ApplicationState): the
  // proxy listens once it comes back.
  bool startServer();
  // True while the proxy listens, which is exactly while reverseProxyURL() gives URLs.
  bool isListening() const;
  // Why the last startServer() left the proxy not listening; absent once one succeeded, unless
  // the proxy then could not listen again when the application came back to the foreground
  // (the port was taken meanwhile): that is told until it listens again or startServer() runs.
  std::optional<ProxyStartError> lastStartError() const;
  // The local URL the player reads `url` from, `url` read as browsers read it
  // (Url::parseAsBrowser); absent while the proxy does not listen (before startServer(), when it
  // could not listen, after cleanup()), when `url` is not an
  // http(s) URL browsers read, or when it is too long for the proxy to serve (both logged;
  // origin URLs up to 16 KiB as browsers write them are always served). A user name and
  // password in `url` stay with the proxy, which sends them to that origin only: the local URL
  // carries neither.
  std::optional<Url> reverseProxyURL(const Url& url) const;
  // Drops the proxy server, which stops listening and frees its port at once, and its tracker
  // connection and peers; connections already accepted get their answers, from the origin.
  void cleanup();

 private:
  // Tests reach the server behind the manager through it.
  friend class ProxyManagerSeams;
  struct Impl;
  const std::unique_ptr<Impl> impl_;
};

}  // namespace ombrelia
