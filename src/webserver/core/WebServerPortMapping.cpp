#include "webserver/core/WebServerPortMapping.hpp"

#include "platform/DispatchQueue.hpp"
#include "webserver/core/WebServerFunctions.hpp"
#include "webserver/core/WebServerLog.hpp"

namespace ombrelia {

using platform::DispatchQueue;
using platform::PortMapper;

std::shared_ptr<WebServerPortMapping> WebServerPortMapping::start(uint16_t port,
                                                                  DidUpdate didUpdate) {
  auto mapping =
      std::shared_ptr<WebServerPortMapping>(new WebServerPortMapping(std::move(didUpdate)));
  std::weak_ptr<WebServerPortMapping> weak = mapping;
  auto mapper = PortMapper::create(port, [weak](const PortMapper::Update& update) {
    // The mapper's thread never waits on the server.
    DispatchQueue::main()->async([weak, update] {
      if (auto self = weak.lock()) self->didUpdate(update);
    });
  });
  if (!mapper) {
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError, "Failed creating NAT port mapping (%i)",
                          mapper.error());
    }
    return nullptr;
  }
  mapping->mapper_ = std::move(mapper.value());
  return mapping;
}

WebServerPortMapping::WebServerPortMapping(DidUpdate didUpdate)
    : didUpdate_(std::move(didUpdate)) {}

WebServerPortMapping::~WebServerPortMapping() { stop(); }

void WebServerPortMapping::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    publicAddress_.clear();
    publicPort_ = 0;
  }
  if (mapper_) mapper_->stop();
}

void WebServerPortMapping::waitForReports() { std::lock_guard reporting(reportMutex_); }

std::optional<std::string> WebServerPortMapping::publicServerURL() const {
  std::lock_guard lock(mutex_);
  if (publicAddress_.empty() || publicPort_ == 0) return std::nullopt;
  return WebServerMakeServerURL(publicAddress_, publicPort_);
}

void WebServerPortMapping::didUpdate(const PortMapper::Update& update) {
  std::lock_guard reporting(reportMutex_);
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    publicAddress_ = update.error == 0 ? update.publicAddress : std::string();
    publicPort_ = update.error == 0 ? update.publicPort : 0;
  }
  if (update.error != 0) {
    if (WebServerShouldLog(kWebServerLogError))
      WebServerLogMessage(kWebServerLogError, "DNS service error %i", update.error);
  } else if (WebServerShouldLog(kWebServerLogInfo)) {
    const std::string url = publicServerURL().value_or("(null)");
    WebServerLogMessage(kWebServerLogInfo, "%s now publicly reachable at %s", kWebServerClassName,
                        url.c_str());
  }
  if (didUpdate_) didUpdate_();
}

}  // namespace ombrelia
