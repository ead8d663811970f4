#include "webserver/core/WebServerServicePublication.hpp"

#include "platform/DispatchQueue.hpp"
#include "webserver/core/WebServerFunctions.hpp"
#include "webserver/core/WebServerLog.hpp"

namespace ombrelia {

using platform::DispatchQueue;
using platform::ServicePublisher;

namespace {

// Publication errors are logged with the domain number that service-publication errors carry
// on the platform the server's interface comes from ("net services"); the codes are Avahi's.
constexpr int kNetServicesErrorDomain = 10;

}  // namespace

std::shared_ptr<WebServerServicePublication> WebServerServicePublication::start(
    std::string name, std::string type, uint16_t port, DidComplete didComplete) {
  auto publication = std::shared_ptr<WebServerServicePublication>(
      new WebServerServicePublication(type, port, std::move(didComplete)));
  std::weak_ptr<WebServerServicePublication> weak = publication;
  // Every answer moves to the main queue, so the daemon's thread never waits on the server.
  ServicePublisher::Events events{
      .registered =
          [weak](const std::string& registered) {
            DispatchQueue::main()->async([weak, registered] {
              if (auto self = weak.lock()) self->didRegister(registered);
            });
          },
      .resolved =
          [weak](const std::string& host) {
            DispatchQueue::main()->async([weak, host] {
              if (auto self = weak.lock()) self->didResolve(host);
            });
          },
      .failed =
          [weak](ServicePublisher::Failure failure, int code) {
            DispatchQueue::main()->async([weak, failure, code] {
              if (auto self = weak.lock()) self->didFail(failure, code);
            });
          },
  };
  publication->publisher_ =
      ServicePublisher::start(std::move(name), std::move(type), port, std::move(events));
  return publication;
}

WebServerServicePublication::WebServerServicePublication(std::string type, uint16_t port,
                                                         DidComplete didComplete)
    : type_(std::move(type)), port_(port), didComplete_(std::move(didComplete)) {}

WebServerServicePublication::~WebServerServicePublication() { stop(); }

void WebServerServicePublication::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    name_.reset();
    host_.reset();
  }
  // Resolution first, then the registration, then the connection to the daemon.
  if (publisher_) publisher_->stop();
}

void WebServerServicePublication::waitForReports() { std::lock_guard reporting(reportMutex_); }

std::optional<std::string> WebServerServicePublication::bonjourName() const {
  std::lock_guard lock(mutex_);
  if (!name_ || name_->empty()) return std::nullopt;
  return name_;
}

std::optional<std::string> WebServerServicePublication::bonjourType() const {
  std::lock_guard lock(mutex_);
  if (!name_ || type_.empty()) return std::nullopt;
  return type_;
}

std::optional<std::string> WebServerServicePublication::bonjourServerURL() const {
  std::lock_guard lock(mutex_);
  if (!host_ || host_->empty()) return std::nullopt;
  return WebServerMakeServerURL(*host_, port_);
}

void WebServerServicePublication::didRegister(const std::string& name) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    name_ = name;
  }
  if (WebServerShouldLog(kWebServerLogVerbose)) {
    WebServerLogMessage(kWebServerLogVerbose, "Bonjour registration complete for %s",
                        kWebServerClassName);
  }
}

void WebServerServicePublication::didResolve(const std::string& host) {
  std::lock_guard reporting(reportMutex_);
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    host_ = host;
  }
  if (WebServerShouldLog(kWebServerLogInfo)) {
    const std::string url = bonjourServerURL().value_or("(null)");
    WebServerLogMessage(kWebServerLogInfo, "%s now locally reachable at %s", kWebServerClassName,
                        url.c_str());
  }
  if (didComplete_) didComplete_();
}

void WebServerServicePublication::didFail(ServicePublisher::Failure failure, int code) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    // A registration that failed leaves nothing published.
    if (failure == ServicePublisher::Failure::registration ||
        failure == ServicePublisher::Failure::createRegistration) {
      name_.reset();
      host_.reset();
    }
  }
  if (!WebServerShouldLog(kWebServerLogError)) return;
  switch (failure) {
    case ServicePublisher::Failure::createRegistration:
      WebServerLogMessage(kWebServerLogError, "Failed creating CFNetService for registration");
      break;
    case ServicePublisher::Failure::registration:
      WebServerLogMessage(kWebServerLogError, "Bonjour registration error %i (domain %i)", code,
                          kNetServicesErrorDomain);
      break;
    case ServicePublisher::Failure::createResolution:
      WebServerLogMessage(kWebServerLogError, "Failed creating CFNetService for resolution");
      break;
    case ServicePublisher::Failure::startResolution:
      WebServerLogMessage(kWebServerLogError, "Failed starting Bonjour resolution");
      break;
    case ServicePublisher::Failure::resolution:
      WebServerLogMessage(kWebServerLogError, "Bonjour resolution error %i (domain %i)", code,
                          kNetServicesErrorDomain);
      break;
  }
}

}  // namespace ombrelia
