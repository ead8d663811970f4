#include <ombrelia/OmbreliaConfig.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <ombrelia/OmbreliaLogger.hpp>

#include "platform/StandardOutput.hpp"

namespace ombrelia {
namespace {

// The one instance; never released, as the settings live until the process ends.
std::atomic<OmbreliaConfig*> instance{nullptr};
std::mutex configureMutex;

// Far above any share a viewer would upload, and small enough that the share times the most
// segments a viewer can count stays a finite number: 1e308 times two segments would not.
constexpr double kMaxUploadPercentMagnitude = 1e12;

std::string shortly(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

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

double OmbreliaConfig::maxUploadPercent() const {
  std::lock_guard lock(mutex_);
  return maxUploadPercent_;
}

void OmbreliaConfig::setMaxUploadPercent(double value) {
  if (!std::isfinite(value)) {
    // Peers are sent the share times the segments held, as a JSON number: one that is not
    // finite cannot be written, and every availability message would fail to go out.
    OmbreliaLogger::error("maxUploadPercent: refused " + shortly(value) +
                              ", which is not a finite number; the setting is unchanged",
                          OLogModule::p2pUpload);
    return;
  }
  const double kept = std::clamp(value, -kMaxUploadPercentMagnitude, kMaxUploadPercentMagnitude);
  if (kept != value) {
    OmbreliaLogger::error("maxUploadPercent: " + shortly(value) + " taken as " + shortly(kept) +
                              ", the nearest value within its bound",
                          OLogModule::p2pUpload);
  }
  std::lock_guard lock(mutex_);
  maxUploadPercent_ = kept;
}

}  // namespace ombrelia
