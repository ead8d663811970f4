#include "webserver/core/WebServer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "platform/DispatchQueue.hpp"
#include "platform/Regex.hpp"
#include "webserver/core/WebServerConnection.hpp"
#include "webserver/core/WebServerListener.hpp"
#include "webserver/core/WebServerLog.hpp"
#include "webserver/core/WebServerPortMapping.hpp"
#include "webserver/core/WebServerServicePublication.hpp"
#include "webserver/core/WebServerStaticFiles.hpp"
#include "webserver/responses/WebServerDataResponse.hpp"

namespace ombrelia {

using platform::DispatchQueue;
using platform::Regex;

namespace {

constexpr const char* kClassName = kWebServerClassName;

std::string base64(std::string_view text) {
  std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                reinterpret_cast<const unsigned char *>(text.data()),
                                static_cast<int>(text.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

WebServerAsyncProcessBlock wrap(WebServerProcessBlock processBlock) {
  return [processBlock = std::move(processBlock)](const std::shared_ptr<WebServerRequest> &request,
                                                  WebServerCompletionBlock completion) {
    completion(processBlock(request));
  };
}

} // namespace

std::shared_ptr<WebServer> WebServer::create() {
  auto server = std::shared_ptr<WebServer>(new WebServer());
  std::weak_ptr<WebServer> weak = server;
  server->activity_ = WebServerActivity::create({
      .didConnect =
          [weak] {
            if (auto self = weak.lock())
              self->didConnect();
          },
      .didDisconnect =
          [weak] {
            if (auto self = weak.lock())
              self->didDisconnect();
          },
  });
  return server;
}

WebServer::WebServer() = default;

WebServer::~WebServer() {
  if (isRunning())
    stop();
  endBackgroundTask();
}

bool WebServer::isRunning() const {
  std::lock_guard lock(mutex_);
  return options_.has_value();
}

uint16_t WebServer::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

bool WebServer::isListening() const {
  std::lock_guard lock(mutex_);
  return listening_;
}

void WebServer::didConnect() {
  {
    std::lock_guard lock(mutex_);
    // A connection open in the foreground asks for time to finish if the application leaves.
    if (!platform::ApplicationLifecycle::shared().isInBackground() &&
        backgroundTask_ == platform::ApplicationLifecycle::kInvalidBackgroundTask) {
      if (WebServerShouldLog(kWebServerLogDebug)) {
        WebServerLogMessage(kWebServerLogDebug, "Did start background task");
      }
      std::weak_ptr<WebServer> weak = weak_from_this();
      backgroundTask_ = platform::ApplicationLifecycle::shared().beginBackgroundTask([weak] {
        if (WebServerShouldLog(kWebServerLogWarning)) {
          WebServerLogMessage(kWebServerLogWarning,
                              "Application is being suspended while %s is still connected",
                              kClassName);
        }
        DispatchQueue::main()->async([weak] {
          if (auto self = weak.lock())
            self->endBackgroundTask();
        });
      });
    }
  }
  if (auto delegate = this->delegate()) delegate->webServerDidConnect(*this);
}

void WebServer::didDisconnect() {
  endBackgroundTask();
  if (auto delegate = this->delegate()) delegate->webServerDidDisconnect(*this);
}

void WebServer::endBackgroundTask() {
  std::lock_guard lock(mutex_);
  if (backgroundTask_ == platform::ApplicationLifecycle::kInvalidBackgroundTask)
    return;
  if (options_ && options_->automaticallySuspendInBackground &&
      platform::ApplicationLifecycle::shared().isInBackground() && listening_) {
    stopListening();
  }
  platform::ApplicationLifecycle::shared().endBackgroundTask(backgroundTask_);
  backgroundTask_ = platform::ApplicationLifecycle::kInvalidBackgroundTask;
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(kWebServerLogDebug, "Did end background task");
  }
}

void WebServer::didEnterBackground() {
  std::lock_guard lock(mutex_);
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(kWebServerLogDebug, "Did enter background");
  }
  // With a connection open the stop waits for the background task to end.
  if (backgroundTask_ == platform::ApplicationLifecycle::kInvalidBackgroundTask && listening_) {
    stopListening();
  }
}

void WebServer::willEnterForeground() {
  std::lock_guard lock(mutex_);
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(kWebServerLogDebug, "Will enter foreground");
  }
  if (options_ && !listening_) {
    // Kept for the owner, who otherwise learns only that the server no longer listens.
    if (auto resumed = startListening(); !resumed) resumeError_ = resumed.error();
  }
}

std::optional<WebServerError> WebServer::resumeError() const {
  std::lock_guard lock(mutex_);
  return resumeError_;
}

std::optional<WebServerError> WebServer::ipv6Error() const {
  std::lock_guard lock(mutex_);
  return ipv6Error_;
}

void WebServer::setDelegate(std::weak_ptr<WebServerDelegate> delegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<WebServerDelegate> WebServer::delegate() const {
  std::lock_guard lock(delegateMutex_);
  return delegate_.lock();
}

template <class Call> void WebServer::notifyDelegate(Call call) {
  std::weak_ptr<WebServer> weak = weak_from_this();
  DispatchQueue::main()->async([weak, call] {
    auto self = weak.lock();
    if (!self)
      return;
    if (auto delegate = self->delegate()) call(*delegate, *self);
  });
}

bool WebServer::refuseWhileRunning(const char *operation) const {
  if (!isRunning())
    return false;
  if (WebServerShouldLog(kWebServerLogError)) {
    WebServerLogMessage(kWebServerLogError, "Refusing to %s while %s is running", operation,
                        kClassName);
  }
  return true;
}

void WebServer::addHandler(WebServerMatchBlock matchBlock,
                           WebServerAsyncProcessBlock asyncProcessBlock) {
  auto handler = std::make_shared<WebServerHandler>(
      WebServerHandler{std::move(matchBlock), std::move(asyncProcessBlock)});
  handlers_.insert(handlers_.begin(), std::move(handler));
}

bool WebServer::addHandlerWithMatchBlock(WebServerMatchBlock matchBlock,
                                         WebServerAsyncProcessBlock asyncProcessBlock) {
  if (refuseWhileRunning("add a handler") || !matchBlock || !asyncProcessBlock)
    return false;
  addHandler(std::move(matchBlock), std::move(asyncProcessBlock));
  return true;
}

bool WebServer::addHandlerWithMatchBlock(WebServerMatchBlock matchBlock,
                                         WebServerProcessBlock processBlock) {
  if (!processBlock)
    return false;
  return addHandlerWithMatchBlock(std::move(matchBlock), wrap(std::move(processBlock)));
}

bool WebServer::addHandlerForMethodPathRegex(const std::string &method,
                                             const std::string &pathRegex,
                                             WebServerRequestFactory requestClass,
                                             WebServerAsyncProcessBlock asyncProcessBlock) {
  std::string error;
  auto regex = Regex::compile(pathRegex, {.caseInsensitive = true}, &error);
  if (!regex) {
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError, "Invalid handler pattern \"%s\": %s",
                          pathRegex.c_str(), error.c_str());
    }
    return false;
  }
  if (!requestClass)
    return false;
  return addHandlerWithMatchBlock(
      [method, regex = std::move(*regex), requestClass = std::move(requestClass)](
          const WebServerRequestInfo &info) -> std::shared_ptr<WebServerRequest> {
        if (info.method != method)
          return nullptr;
        const auto matches = regex.allMatches(info.path);
        if (matches.empty())
          return nullptr;
        std::vector<std::string> captures;
        for (const auto &match : matches) {
          for (const auto &group : match.groups) {
            if (group)
              captures.emplace_back(*group);
          }
        }
        auto request = requestClass(info);
        if (request) {
          request->setAttribute(kWebServerRequestAttributeRegexCaptures, std::move(captures));
        }
        return request;
      },
      std::move(asyncProcessBlock));
}

bool WebServer::addHandlerForMethodPathRegex(const std::string &method,
                                             const std::string &pathRegex,
                                             WebServerRequestFactory requestClass,
                                             WebServerProcessBlock processBlock) {
  if (!processBlock)
    return false;
  return addHandlerForMethodPathRegex(method, pathRegex, std::move(requestClass),
                                      wrap(std::move(processBlock)));
}

bool WebServer::addHandlerForMethodPath(const std::string &method, const std::string &path,
                                        WebServerRequestFactory requestClass,
                                        WebServerAsyncProcessBlock asyncProcessBlock) {
  if (!path.starts_with('/') || !requestClass) {
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError, "Invalid handler path \"%s\"", path.c_str());
    }
    return false;
  }
  return addHandlerWithMatchBlock(
      [method, path, requestClass = std::move(requestClass)](
          const WebServerRequestInfo &info) -> std::shared_ptr<WebServerRequest> {
        if (info.method != method || !WebServerCaseInsensitiveLess::equals(info.path, path))
          return nullptr;
        return requestClass(info);
      },
      std::move(asyncProcessBlock));
}

bool WebServer::addHandlerForMethodPath(const std::string &method, const std::string &path,
                                        WebServerRequestFactory requestClass,
                                        WebServerProcessBlock processBlock) {
  if (!processBlock)
    return false;
  return addHandlerForMethodPath(method, path, std::move(requestClass),
                                 wrap(std::move(processBlock)));
}

bool WebServer::addDefaultHandlerForMethod(const std::string &method,
                                           WebServerRequestFactory requestClass,
                                           WebServerAsyncProcessBlock asyncProcessBlock) {
  if (!requestClass)
    return false;
  return addHandlerWithMatchBlock(
      [method, requestClass = std::move(requestClass)](
          const WebServerRequestInfo &info) -> std::shared_ptr<WebServerRequest> {
        if (info.method != method)
          return nullptr;
        return requestClass(info);
      },
      std::move(asyncProcessBlock));
}

bool WebServer::addDefaultHandlerForMethod(const std::string &method,
                                           WebServerRequestFactory requestClass,
                                           WebServerProcessBlock processBlock) {
  if (!processBlock)
    return false;
  return addDefaultHandlerForMethod(method, std::move(requestClass), wrap(std::move(processBlock)));
}

bool WebServer::addGETHandlerForPath(const std::string &path, Data staticData,
                                     std::string contentType, uint64_t cacheAge) {
  return addHandlerForMethodPath(
      "GET", path, WebServerRequestClass<WebServerRequest>(),
      [staticData = std::move(staticData), contentType = std::move(contentType),
       cacheAge](const std::shared_ptr<WebServerRequest> &) -> std::shared_ptr<WebServerResponse> {
        auto response = WebServerDataResponse::responseWithData(staticData, contentType);
        response->setCacheControlMaxAge(cacheAge);
        return response;
      });
}

bool WebServer::addGETHandlerForPath(const std::string &path, std::string filePath,
                                     bool isAttachment, uint64_t cacheAge,
                                     bool allowRangeRequests) {
  return addHandlerForMethodPath(
      "GET", path, WebServerRequestClass<WebServerRequest>(),
      [filePath = std::move(filePath), isAttachment, cacheAge,
       allowRangeRequests](const std::shared_ptr<WebServerRequest> &request) {
        return WebServerStaticFiles::fileResponse(*request, filePath, isAttachment, cacheAge,
                                                  allowRangeRequests);
      });
}

bool WebServer::addGETHandlerForBasePath(const std::string &basePath, std::string directoryPath,
                                         std::optional<std::string> indexFilename,
                                         uint64_t cacheAge, bool allowRangeRequests) {
  if (!basePath.starts_with('/') || !basePath.ends_with('/')) {
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError, "Invalid handler base path \"%s\"", basePath.c_str());
    }
    return false;
  }
  return addHandlerWithMatchBlock(
      [basePath](const WebServerRequestInfo &info) -> std::shared_ptr<WebServerRequest> {
        if (info.method != "GET" || !info.path.starts_with(basePath))
          return nullptr;
        return std::make_shared<WebServerRequest>(info);
      },
      [basePath, directoryPath = std::move(directoryPath), indexFilename = std::move(indexFilename),
       cacheAge, allowRangeRequests](const std::shared_ptr<WebServerRequest> &request) {
        return WebServerStaticFiles::directoryResponse(*request, basePath, directoryPath,
                                                       indexFilename, cacheAge, allowRangeRequests);
      });
}

bool WebServer::removeAllHandlers() {
  if (refuseWhileRunning("remove handlers"))
    return false;
  handlers_.clear();
  return true;
}

std::string WebServer::serverName() const {
  std::lock_guard lock(mutex_);
  return options_ ? options_->serverName : std::string(kClassName);
}

WebServerResult WebServer::startWithOptions(WebServerOptions options) {
  std::lock_guard lock(mutex_);
  if (isRunning()) {
    refuseWhileRunning("start");
    return WebServerMakeError(kWebServerErrorGeneric, "Server already started");
  }
  if (!WebServerIsValidHeaderValue(options.serverName)) options.serverName = kClassName;
  options_ = std::move(options);
  const bool suspend = options_->automaticallySuspendInBackground;
  // Started in the background, the server listens once the application comes back.
  if (!suspend || !platform::ApplicationLifecycle::shared().isInBackground()) {
    if (auto started = startListening(); !started) {
      options_.reset();
      return started;
    }
  }
  if (suspend) {
    std::weak_ptr<WebServer> weak = weak_from_this();
    auto &center = platform::NotificationCenter::defaultCenter();
    backgroundObserver_ =
        center.addObserver(platform::ApplicationLifecycle::kDidEnterBackgroundNotification,
                           [weak](const platform::Notification &) {
                             DispatchQueue::main()->async([weak] {
                               if (auto self = weak.lock())
                                 self->didEnterBackground();
                             });
                           });
    foregroundObserver_ =
        center.addObserver(platform::ApplicationLifecycle::kWillEnterForegroundNotification,
                           [weak](const platform::Notification &) {
                             DispatchQueue::main()->async([weak] {
                               if (auto self = weak.lock())
                                 self->willEnterForeground();
                             });
                           });
  }
  return {};
}

bool WebServer::startWithPort(uint16_t port, std::optional<std::string> bonjourName) {
  WebServerOptions options;
  options.port = port;
  if (bonjourName)
    options.bonjourName.emplace(std::move(*bonjourName));
  return startWithOptions(std::move(options)).ok();
}

bool WebServer::start() { return startWithPort(8080, std::string()); }

WebServerResult WebServer::startListening() {
  const WebServerOptions &options = *options_;
  WebServerError error;

  sockaddr_in address4{};
  address4.sin_family = AF_INET;
  address4.sin_port = htons(options.port);
  address4.sin_addr.s_addr = htonl(options.bindToLocalhost ? INADDR_LOOPBACK : INADDR_ANY);
  const auto socket4 = WebServerListener::createListeningSocket(
      AF_INET, &address4, sizeof(address4), options.maxPendingConnections, error);
  if (!socket4)
    return error;

  uint16_t port = options.port;
  if (port == 0) {
    sockaddr_in bound{};
    socklen_t length = sizeof(bound);
    if (::getsockname(*socket4, reinterpret_cast<sockaddr *>(&bound), &length) == 0) {
      port = ntohs(bound.sin_port);
    } else if (WebServerShouldLog(kWebServerLogError)) {
      const int number = errno;
      WebServerLogMessage(kWebServerLogError, "Failed retrieving socket address: %s (%i)",
                          std::strerror(number), number);
    }
  }

  sockaddr_in6 address6{};
  address6.sin6_family = AF_INET6;
  address6.sin6_port = htons(port);
  address6.sin6_addr = options.bindToLocalhost ? in6addr_loopback : in6addr_any;
  const auto socket6 = WebServerListener::createListeningSocket(
      AF_INET6, &address6, sizeof(address6), options.maxPendingConnections, error,
      kWebServerLogDebug);
  if (!socket6) {
    // The IPv4 socket holds the port, so a port truly taken was refused above. Here IPv6 alone
    // is missing: no family at all (EAFNOSUPPORT), or sockets but no ::1, as on a host with IPv6
    // disabled by sysctl (EADDRNOTAVAIL), or [::1] held by another program. Local URLs name
    // 127.0.0.1, so serving IPv4 alone loses no client of ours.
    if (WebServerShouldLog(kWebServerLogWarning)) {
      WebServerLogMessage(kWebServerLogWarning,
                          "Cannot listen on IPv6 port %i: %s (%i); serving IPv4 only",
                          static_cast<int>(port), error.description.c_str(), static_cast<int>(error.code));
    }
  }

  auto context = std::make_shared<WebServerContext>();
  context->options = options;
  context->handlers = handlers_;
  context->activity = activity_;
  context->connections = std::make_shared<WebServerConnectionBudget>(
      options.maxConnectionBytes, options.minIdleBeforeEndingForRoom);
  context->authenticationRealm = options.authenticationRealm.value_or(options.serverName);
  if (options.authenticationMethod == WebServerAuthenticationMethod::basic) {
    for (const auto &[user, password] : options.authenticationAccounts) {
      context->authenticationBasicAccounts[user] = base64(user + ":" + password);
    }
  } else if (options.authenticationMethod == WebServerAuthenticationMethod::digestAccess) {
    for (const auto &[user, password] : options.authenticationAccounts) {
      context->authenticationDigestAccounts[user] =
          WebServerComputeMD5Digest(user + ":" + context->authenticationRealm + ":" + password);
    }
  }

  listener4_ = WebServerListener::create(*socket4, false, context);
  if (socket6)
    listener6_ = WebServerListener::create(*socket6, true, context);
  context_ = context;
  port_ = port;
  bindToLocalhost_ = options.bindToLocalhost;
  listening_ = true;
  resumeError_.reset();
  ipv6Error_.reset();
  if (!socket6) ipv6Error_ = error;
  startPublishing(options);
  activity_->setDisconnectDelay(std::chrono::milliseconds(
      static_cast<int64_t>(options.connectedStateCoalescingInterval * 1000.0)));
  activity_->setListening(true);
  listener4_->resume();
  if (listener6_)
    listener6_->resume();
  if (WebServerShouldLog(kWebServerLogInfo)) {
    const std::string url = serverURL().value_or("(null)");
    WebServerLogMessage(kWebServerLogInfo, "%s started on port %i and reachable at %s", kClassName,
                        static_cast<int>(port_), url.c_str());
  }
  notifyDelegate(
      [](WebServerDelegate &delegate, WebServer &server) { delegate.webServerDidStart(server); });
  return {};
}

void WebServer::startPublishing(const WebServerOptions& options) {
  std::weak_ptr<WebServer> weak = weak_from_this();
  if (options.bonjourName) {
    // An empty name publishes under the server's name.
    std::string name = options.bonjourName->empty() ? options.serverName : *options.bonjourName;
    publication_ =
        WebServerServicePublication::start(std::move(name), options.bonjourType, port_, [weak] {
          auto self = weak.lock();
          if (!self) return;
          if (auto delegate = self->delegate())
            delegate->webServerDidCompleteBonjourRegistration(*self);
        });
  }
  if (options.requestNATPortMapping) {
    portMapping_ = WebServerPortMapping::start(port_, [weak] {
      auto self = weak.lock();
      if (!self) return;
      if (auto delegate = self->delegate()) delegate->webServerDidUpdateNATPortMapping(*self);
    });
  }
}

void WebServer::stopListening() {
  // The mapping goes first, then the service (its resolution first): nothing announces the
  // server once its sockets close.
  if (portMapping_) {
    portMapping_->stop();
    portMapping_.reset();
  }
  if (publication_) {
    publication_->stop();
    publication_.reset();
  }
  // Closing returns once each socket is closed; accepted connections carry on.
  if (listener6_)
    listener6_->close();
  if (listener4_)
    listener4_->close();
  listener6_.reset();
  listener4_.reset();
  port_ = 0;
  bindToLocalhost_ = false;
  listening_ = false;
  activity_->setListening(false);
  activity_->flushPendingDisconnect();
  if (WebServerShouldLog(kWebServerLogInfo)) {
    WebServerLogMessage(kWebServerLogInfo, "%s stopped", kClassName);
  }
  notifyDelegate(
      [](WebServerDelegate &delegate, WebServer &server) { delegate.webServerDidStop(server); });
}

void WebServer::stop() {
  // Stopped under the lock, waited for after it: a report that began before the stop may be in
  // the delegate, which may call the server. The background stops need no wait: they run on the
  // main queue, where the reports run.
  std::shared_ptr<WebServerPortMapping> mapping;
  std::shared_ptr<WebServerServicePublication> publication;
  {
    std::lock_guard lock(mutex_);
    backgroundObserver_.reset();
    foregroundObserver_.reset();
    if (!options_) {
      if (WebServerShouldLog(kWebServerLogError)) {
        WebServerLogMessage(kWebServerLogError, "Refusing to stop %s: it is not running",
                            kClassName);
      }
      return;
    }
    mapping = portMapping_;
    publication = publication_;
    if (listening_) stopListening();
    options_.reset();
    resumeError_.reset();
  }
  if (mapping) mapping->waitForReports();
  if (publication) publication->waitForReports();
}

std::optional<std::string> WebServer::serverURL() const {
  std::lock_guard lock(mutex_);
  if (!listening_)
    return std::nullopt;
  // 127.0.0.1 rather than "localhost", which may resolve to ::1 first, where the server may not
  // listen (IPv6 disabled on the host).
  std::optional<std::string> host = bindToLocalhost_ ? std::optional<std::string>("127.0.0.1")
                                                     : WebServerGetPrimaryIPAddress(false);
  if (!host)
    return std::nullopt;
  return WebServerMakeServerURL(*host, port_);
}

std::optional<std::string> WebServer::bonjourServerURL() const {
  std::lock_guard lock(mutex_);
  return publication_ ? publication_->bonjourServerURL() : std::nullopt;
}

std::optional<std::string> WebServer::publicServerURL() const {
  std::lock_guard lock(mutex_);
  return portMapping_ ? portMapping_->publicServerURL() : std::nullopt;
}

std::optional<std::string> WebServer::bonjourName() const {
  std::lock_guard lock(mutex_);
  return publication_ ? publication_->bonjourName() : std::nullopt;
}

std::optional<std::string> WebServer::bonjourType() const {
  std::lock_guard lock(mutex_);
  return publication_ ? publication_->bonjourType() : std::nullopt;
}

std::optional<std::string> WebServer::authenticationRealm() const {
  std::lock_guard lock(mutex_);
  return context_ ? std::optional<std::string>(context_->authenticationRealm) : std::nullopt;
}

std::map<std::string, std::string> WebServer::authenticationBasicAccounts() const {
  std::lock_guard lock(mutex_);
  return context_ ? context_->authenticationBasicAccounts : std::map<std::string, std::string>();
}

std::map<std::string, std::string> WebServer::authenticationDigestAccounts() const {
  std::lock_guard lock(mutex_);
  return context_ ? context_->authenticationDigestAccounts : std::map<std::string, std::string>();
}

bool WebServer::shouldAutomaticallyMapHEADToGET() const {
  std::lock_guard lock(mutex_);
  return context_ ? context_->options.automaticallyMapHEADToGET
                  : WebServerOptions{}.automaticallyMapHEADToGET;
}

int WebServer::dispatchQueuePriority() const {
  std::lock_guard lock(mutex_);
  return context_ ? context_->options.dispatchQueuePriority
                  : WebServerOptions{}.dispatchQueuePriority;
}

void WebServer::logVerbose(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WebServerLogMessageV(kWebServerLogVerbose, format, arguments);
  va_end(arguments);
}

void WebServer::logInfo(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WebServerLogMessageV(kWebServerLogInfo, format, arguments);
  va_end(arguments);
}

void WebServer::logWarning(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WebServerLogMessageV(kWebServerLogWarning, format, arguments);
  va_end(arguments);
}

void WebServer::logError(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WebServerLogMessageV(kWebServerLogError, format, arguments);
  va_end(arguments);
}

} // namespace ombrelia
