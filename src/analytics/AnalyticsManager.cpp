#include <ombrelia/AnalyticsManager.hpp>
#include <ombrelia/OmbreliaConfig.hpp>

#include <mutex>

#include "analytics/AnalyticsService.hpp"
#include "proxy/BufferingController.hpp"

namespace ombrelia {

// The buffering controller holds this part strongly while it is registered, so it outlives the
// application's handle if need be; it never refers back to the handle.
struct AnalyticsManager::Impl : BufferingControllerDelegate {
  explicit Impl(std::shared_ptr<AnalyticsService> service) : analyticsService(std::move(service)) {}

  double getPrebufferingDuration() override {
    auto current = delegate();
    return current ? current->getPrebufferingDuration() : 0.0;
  }

  double getLatency() {
    auto current = delegate();
    return current ? current->getLatency() : 0.0;
  }

  std::shared_ptr<AnalyticsManagerProtocol> delegate() const {
    std::lock_guard lock(mutex);
    return weakDelegate.lock();
  }

  const std::shared_ptr<AnalyticsService> analyticsService;
  mutable std::mutex mutex;  // guards weakDelegate: set by the application, read by the library
  std::weak_ptr<AnalyticsManagerProtocol> weakDelegate;
};

std::shared_ptr<AnalyticsManager> AnalyticsManager::create() {
  auto service = AnalyticsService::create(OmbreliaConfig::shared().ombreliaKey());
  return std::shared_ptr<AnalyticsManager>(
      new AnalyticsManager(std::make_shared<Impl>(std::move(service))));
}

AnalyticsManager::AnalyticsManager(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

AnalyticsManager::~AnalyticsManager() = default;

std::shared_ptr<AnalyticsManagerProtocol> AnalyticsManager::delegate() const {
  return impl_->delegate();
}

void AnalyticsManager::setDelegate(std::weak_ptr<AnalyticsManagerProtocol> delegate) {
  std::lock_guard lock(impl_->mutex);
  impl_->weakDelegate = std::move(delegate);
}

std::shared_ptr<AnalyticsService> AnalyticsManager::getAnalyticsService() const {
  return impl_->analyticsService;
}

void AnalyticsManager::trackBuffering() { BufferingController::shared().setDelegate(impl_); }

void AnalyticsManager::cleanup() { BufferingController::shared().setDelegate(nullptr); }

double AnalyticsManager::getPrebufferingDuration() const {
  return impl_->getPrebufferingDuration();
}

double AnalyticsManager::getLatency() const { return impl_->getLatency(); }

int64_t AnalyticsManager::getDataCDN() const {
  return impl_->analyticsService->getDataReceivedHTTP();
}

int64_t AnalyticsManager::getDataPeer() const {
  return impl_->analyticsService->getDataReceivedP2P();
}

double AnalyticsManager::getP2PPercent() const {
  const double http = static_cast<double>(getDataCDN());
  const double peer = static_cast<double>(getDataPeer());
  return peer / (http + peer);
}

}  // namespace ombrelia
