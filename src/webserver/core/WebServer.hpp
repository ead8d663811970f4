#pragma once
// Owner thread: handlers are added, and the server is started and stopped, by one thread at a
// time. Connections and handlers run on the server's I/O threads; delegate calls on the main
// queue.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/Data.hpp>

#include "platform/ApplicationLifecycle.hpp"
#include "platform/NotificationCenter.hpp"
#include "webserver/core/WebServerContext.hpp"
#include "webserver/core/WebServerDelegate.hpp"
#include "webserver/core/WebServerError.hpp"
#include "webserver/core/WebServerHandler.hpp"
#include "webserver/core/WebServerOptions.hpp"

namespace ombrelia {

class WebServerListener;
class WebServerPortMapping;
class WebServerServicePublication;

// An HTTP/1.1 server on IPv4 and IPv6 at once, one request per connection. Handlers are tried
// from the most recently added to the first; the first whose match block gives a request
// answers it. Destroying a started server stops it; open connections finish on their own.
class WebServer : public std::enable_shared_from_this<WebServer> {
public:
  [[nodiscard]] static std::shared_ptr<WebServer> create();
  ~WebServer();
  WebServer(const WebServer &) = delete;
  WebServer &operator=(const WebServer &) = delete;

  void setDelegate(std::weak_ptr<WebServerDelegate> delegate);

  // Handlers may be changed only while the server is stopped; otherwise the call is refused
  // (logged, returns false).
  bool addHandlerWithMatchBlock(WebServerMatchBlock matchBlock,
                                WebServerAsyncProcessBlock asyncProcessBlock);
  bool addHandlerWithMatchBlock(WebServerMatchBlock matchBlock, WebServerProcessBlock processBlock);
  // Matches requests of `method` (exactly) whose decoded path the pattern finds a match in,
  // case-insensitively; the captures go to the request's regex-captures attribute. Refused when
  // the pattern does not compile.
  bool addHandlerForMethodPathRegex(const std::string &method, const std::string &pathRegex,
                                    WebServerRequestFactory requestClass,
                                    WebServerAsyncProcessBlock asyncProcessBlock);
  bool addHandlerForMethodPathRegex(const std::string &method, const std::string &pathRegex,
                                    WebServerRequestFactory requestClass,
                                    WebServerProcessBlock processBlock);
  // Matches requests of `method` whose decoded path equals `path` ignoring case; `path` begins
  // with "/".
  bool addHandlerForMethodPath(const std::string &method, const std::string &path,
                               WebServerRequestFactory requestClass,
                               WebServerAsyncProcessBlock asyncProcessBlock);
  bool addHandlerForMethodPath(const std::string &method, const std::string &path,
                               WebServerRequestFactory requestClass,
                               WebServerProcessBlock processBlock);
  // Matches every request of `method`.
  bool addDefaultHandlerForMethod(const std::string &method, WebServerRequestFactory requestClass,
                                  WebServerAsyncProcessBlock asyncProcessBlock);
  bool addDefaultHandlerForMethod(const std::string &method, WebServerRequestFactory requestClass,
                                  WebServerProcessBlock processBlock);
  // GET conveniences. Static bytes at a path.
  bool addGETHandlerForPath(const std::string &path, Data staticData, std::string contentType,
                            uint64_t cacheAge);
  // A file at a path; with range requests allowed, a byte range answers 206 (or 416) and the
  // response says "Accept-Ranges: bytes".
  bool addGETHandlerForPath(const std::string &path, std::string filePath, bool isAttachment,
                            uint64_t cacheAge, bool allowRangeRequests);
  // The files and folders under `directoryPath` below `basePath` (which begins and ends with
  // "/"): files, a folder's index file, or a listing page.
  bool addGETHandlerForBasePath(const std::string &basePath, std::string directoryPath,
                                std::optional<std::string> indexFilename, uint64_t cacheAge,
                                bool allowRangeRequests);
  bool removeAllHandlers();
  size_t handlerCount() const { return handlers_.size(); }
  // In lookup order: the handler added last comes first.
  const std::vector<std::shared_ptr<const WebServerHandler>>& handlers() const { return handlers_; }

  // Starts listening. Refused when already started; on failure nothing stays open and the
  // error says why (a POSIX error for socket failures: EADDRINUSE for a busy port).
  // With "BonjourName", the server also publishes itself through the local mDNS daemon; with
  // "RequestNATPortMapping", it maps its port on the default gateway. Neither failure stops
  // the server: both are logged.
  WebServerResult startWithOptions(WebServerOptions options);
  // The same with {"Port": port} and, when given, "BonjourName".
  bool startWithPort(uint16_t port, std::optional<std::string> bonjourName = std::nullopt);
  // Port 8080, published under the server's name.
  bool start();
  // No publication or mapping call reaches the delegate after stop() returns: it waits for one
  // already under way, outside the server's lock, so that call may use the server. Called from
  // inside such a call it does not wait for the call it runs in. A delegate call must not wait
  // for a thread that is stopping the server.
  void stop();

  bool isRunning() const;
  // The port listened on (the one the system chose for port 0); 0 when not listening.
  uint16_t port() const;
  // False while suspended in the background.
  bool isListening() const;
  // Why listening again failed when the application came back to the foreground (the port was
  // taken meanwhile); absent while listening, before that and after stop().
  std::optional<WebServerError> resumeError() const;
  // Why the last listening start found no IPv6 socket to listen on, when it served IPv4 alone.
  std::optional<WebServerError> ipv6Error() const;
  std::string serverName() const;
  // What the last start set from its options (the defaults before any start): the realm and
  // accounts of authentication (Basic: "user:password" in Base64; Digest: the MD5 of
  // "user:realm:password"), the HEAD-to-GET mapping and the threads' priority.
  std::optional<std::string> authenticationRealm() const;
  std::map<std::string, std::string> authenticationBasicAccounts() const;
  std::map<std::string, std::string> authenticationDigestAccounts() const;
  bool shouldAutomaticallyMapHEADToGET() const;
  int dispatchQueuePriority() const;
  // "http://<address>:<port>/" while listening: "127.0.0.1" when bound to loopback, else the
  // primary IPv4 address; absent when not listening or no address is known.
  std::optional<std::string> serverURL() const;
  // The same formats on the host the published service resolved to; absent until resolved.
  std::optional<std::string> bonjourServerURL() const;
  // The same formats on the gateway's public address and mapped port; absent without a mapping.
  std::optional<std::string> publicServerURL() const;
  // The published service's name (as registered: a name taken on the network gives way to
  // Avahi's alternative, "Name #2") and type; absent when not published.
  std::optional<std::string> bonjourName() const;
  std::optional<std::string> bonjourType() const;

  // Format their arguments and log the text at levels 1 to 4 through the server's log sink.
  static void logVerbose(const char* format, ...) __attribute__((format(printf, 1, 2)));
  static void logInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));
  static void logWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));
  static void logError(const char* format, ...) __attribute__((format(printf, 1, 2)));

private:
  WebServer();
  bool refuseWhileRunning(const char *operation) const;
  void addHandler(WebServerMatchBlock matchBlock, WebServerAsyncProcessBlock asyncProcessBlock);
  WebServerResult startListening();
  void stopListening();
  void startPublishing(const WebServerOptions& options);
  // Main queue: the busy and idle reports, and the application's background transitions.
  void didConnect();
  void didDisconnect();
  void didEnterBackground();
  void willEnterForeground();
  void endBackgroundTask();
  std::shared_ptr<WebServerDelegate> delegate() const;
  template <class Call> void notifyDelegate(Call call);

  // Set from any thread, read by the main queue's reports; held only to copy the pointer.
  mutable std::mutex delegateMutex_;
  std::weak_ptr<WebServerDelegate> delegate_;
  // Guards everything below it: the owner thread starts and stops, the main queue suspends
  // and resumes.
  mutable std::recursive_mutex mutex_;
  std::vector<std::shared_ptr<const WebServerHandler>> handlers_; // index 0 is tried first
  std::optional<WebServerOptions> options_;
  std::shared_ptr<WebServerActivity> activity_;
  std::shared_ptr<WebServerListener> listener4_;
  std::shared_ptr<WebServerListener> listener6_;
  std::shared_ptr<WebServerServicePublication> publication_;
  std::shared_ptr<WebServerPortMapping> portMapping_;
  // What the connections of the last start used; null before the first start.
  std::shared_ptr<const WebServerContext> context_;
  uint16_t port_ = 0;
  bool listening_ = false;
  bool bindToLocalhost_ = false;
  std::optional<WebServerError> resumeError_;
  std::optional<WebServerError> ipv6Error_;
  platform::ApplicationLifecycle::BackgroundTaskIdentifier backgroundTask_ =
      platform::ApplicationLifecycle::kInvalidBackgroundTask;
  platform::ObserverToken backgroundObserver_;
  platform::ObserverToken foregroundObserver_;
};

} // namespace ombrelia
