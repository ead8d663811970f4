#include <ombrelia/OmbreliaConfig.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/StandardOutput.hpp"

namespace ombrelia {
namespace {

// The one instance; never released, as the settings live until the process ends.
std::atomic<OmbreliaConfig*> instance{nullptr};
std::mutex configureMutex;

}  // namespace

void OmbreliaConfig::configure(const std::string& ombreliaKey) {
  std::lock_guard lock(configureMutex);
  if (instance.load(std::memory_order_acquire) != nullptr) {
    platform::StandardOutput::writeLine("⚠️ OmbreliaConfig already configured. Ignoring.");
    return;
  }
  instance.store(new OmbreliaConfig(ombreliaKey), std::memory_order_release);
}

OmbreliaConfig& OmbreliaConfig::shared() {
  OmbreliaConfig* config = instance.load(std::memory_order_acquire);
  if (config == nullptr) {
    platform::StandardOutput::writeErrorLine(
        "❌ OmbreliaConfig not initialized. Call OmbreliaConfig.configure(ombreliaKey:) first.");
    std::abort();
  }
  return *config;
}

bool OmbreliaConfig::isConfigured() {
  return instance.load(std::memory_order_acquire) != nullptr;
}

OmbreliaConfig::OmbreliaConfig(std::string ombreliaKey) : ombreliaKey_(std::move(ombreliaKey)) {}

#define OMBRELIA_SETTING(Type, getter, setter, field)                                              \
  Type OmbreliaConfig::getter() const {                                                            \
    std::lock_guard lock(mutex_);                                                                  \
    return field;                                                                                  \
  }                                                                                                \
  void OmbreliaConfig::setter(Type value) {                                                        \
    std::lock_guard lock(mutex_);                                                                  \
    field = std::move(value);                                                                      \
  }

OMBRELIA_SETTING(std::string, ombreliaKey, setOmbreliaKey, ombreliaKey_)
OMBRELIA_SETTING(std::string, videoID, setVideoID, videoID_)
OMBRELIA_SETTING(std::string, analyticsVideoID, setAnalyticsVideoID, analyticsVideoID_)
OMBRELIA_SETTING(bool, activated, setActivated, activated_)
OMBRELIA_SETTING(bool, p2pActivated, setP2pActivated, p2pActivated_)
OMBRELIA_SETTING(std::optional<int64_t>, currentLevel, setCurrentLevel, currentLevel_)
OMBRELIA_SETTING(int64_t, maxPreloadedSegments, setMaxPreloadedSegments, maxPreloadedSegments_)
OMBRELIA_SETTING(double, maxUploadPercent, setMaxUploadPercent, maxUploadPercent_)
OMBRELIA_SETTING(std::string, tracker, setTracker, tracker_)
OMBRELIA_SETTING(bool, checkUrls, setCheckUrls, checkUrls_)
OMBRELIA_SETTING(std::string, ignoreTokenInUrls, setIgnoreTokenInUrls, ignoreTokenInUrls_)
OMBRELIA_SETTING(bool, sendingActivated, setSendingActivated, sendingActivated_)
OMBRELIA_SETTING(bool, cellularActivated, setCellularActivated, cellularActivated_)
OMBRELIA_SETTING(int64_t, logLevel, setLogLevel, logLevel_)
OMBRELIA_SETTING(bool, lowLatency, setLowLatency, lowLatency_)
OMBRELIA_SETTING(std::optional<std::string>, p2pConfiguration, setP2pConfiguration,
                 p2pConfiguration_)
OMBRELIA_SETTING(std::vector<std::string>, collections, setCollections, collections_)

#undef OMBRELIA_SETTING

}  // namespace ombrelia
