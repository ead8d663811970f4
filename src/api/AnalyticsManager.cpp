#include <ombrelia/AnalyticsManager.hpp>
#include <ombrelia/OmbreliaConfig.hpp>

#include <chrono>
#include <mutex>
#include <optional>

#include "analytics/AnalyticsManagerAccess.hpp"
#include "analytics/AnalyticsService.hpp"
#include "analytics/AnalyticsServiceProtocol.hpp"
#include "platform/MonotonicClock.hpp"
#include "protocol/Decision.hpp"
#include "proxy/DownloadController.hpp"
#include "store/BufferingController.hpp"

namespace ombrelia {

// The buffering controller holds this part strongly while it is registered, so it outlives the
// application's handle if need be; it never refers back to the handle. The service asks it for
// the latency through a weak reference.
struct AnalyticsManager::Impl : BufferingControllerDelegate, AnalyticsServiceProtocol {
  explicit Impl(std::shared_ptr<AnalyticsService> service) : analyticsService(std::move(service)) {}

  double getPrebufferingDuration() override {
    auto current = delegate();
    return current ? current->getPrebufferingDuration() : 0.0;
  }

  double getLatency() override {
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

  // A stall's start and end may come from different application threads.
  std::mutex stallMutex;  // guards the two fields below
  std::optional<platform::MonotonicClock::time_point> bufferingStartTime;
  std::optional<Decision> bufferingStartType;
};

std::shared_ptr<AnalyticsManager> AnalyticsManager::create() {
  auto service = AnalyticsService::create(OmbreliaConfig::shared().ombreliaKey());
  auto impl = std::make_shared<Impl>(std::move(service));
  impl->analyticsService->setDelegate(impl);
  return std::shared_ptr<AnalyticsManager>(new AnalyticsManager(std::move(impl)));
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

std::shared_ptr<AnalyticsService> AnalyticsManagerAccess::getAnalyticsService(
    const AnalyticsManager& manager) {
  return manager.impl_->analyticsService;
}

void AnalyticsManager::trackBuffering() { BufferingController::shared().setDelegate(impl_); }

void AnalyticsManager::cleanup() { BufferingController::shared().setDelegate(nullptr); }

double AnalyticsManager::getPrebufferingDuration() const {
  return impl_->getPrebufferingDuration();
}

double AnalyticsManager::getLatency() const { return impl_->getLatency(); }

// The service is told under the stall lock: told outside it, a start and an end from two
// threads could reach it in the other order and leave the stall open in every later record.
// The service never calls back into the manager's stall state, so the nesting cannot deadlock.
void AnalyticsManager::handleBuffering() {
  const auto decision = DownloadController::getFirstSegmentDecision();
  std::lock_guard lock(impl_->stallMutex);
  impl_->bufferingStartTime = platform::MonotonicClock::now();
  impl_->bufferingStartType = decision;
  impl_->analyticsService->onBuffering(decision);
}

void AnalyticsManager::calculateTotalBufferingTime() {
  std::lock_guard lock(impl_->stallMutex);
  if (!impl_->bufferingStartTime) return;
  const auto elapsed = platform::MonotonicClock::now() - *impl_->bufferingStartTime;
  const int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  const std::optional<Decision> decision = impl_->bufferingStartType;
  impl_->bufferingStartTime.reset();
  impl_->bufferingStartType.reset();
  impl_->analyticsService->rebufferingSecondsReceived(seconds, decision);
}

void AnalyticsManager::setStreamType(const std::string& type) {
  impl_->analyticsService->setStreamType(type);
}

int64_t AnalyticsManager::getDataCDN() const {
  return impl_->analyticsService->getDataReceivedHTTP();
}

int64_t AnalyticsManager::getDataPeer() const {
  return impl_->analyticsService->getDataReceivedP2P();
}

int64_t AnalyticsManager::getDataSent() const { return impl_->analyticsService->getDataSent(); }

double AnalyticsManager::getP2PPercent() const {
  return impl_->analyticsService->getPercentDataReceived();
}

double AnalyticsManager::getEnergySavedInWh() const {
  return impl_->analyticsService->getEnergySavedInWh();
}

double AnalyticsManager::getEnergySavedReceivedInWh() const {
  return impl_->analyticsService->getEnergySavedReceivedInWh();
}

double AnalyticsManager::getEnergySavedSentInWh() const {
  return impl_->analyticsService->getEnergySavedSentInWh();
}

double AnalyticsManager::getEnergySavedInLight() const {
  return impl_->analyticsService->getEnergySavedInLight();
}

double AnalyticsManager::getEnergySavedInCO2g() const {
  return impl_->analyticsService->getEnergySavedInCO2g();
}

double AnalyticsManager::getEnergySavedInWatercL() const {
  return impl_->analyticsService->getEnergySavedInWatercL();
}

double AnalyticsManager::getGreenScore() const { return impl_->analyticsService->getGreenScore(); }

}  // namespace ombrelia
