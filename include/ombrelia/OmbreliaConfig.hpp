#pragma once
// Any thread: the host writes the settings, the library reads them from its own threads; every
// getter returns a copy taken under a lock, so no reader sees a torn value.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/Export.hpp>

namespace ombrelia {

// The process-wide settings, created once by configure() and read at the moment of use.
class OMBRELIA_API OmbreliaConfig {
 public:
  // Creates the one instance with the customer key. A second call prints a warning line and
  // changes nothing.
  static void configure(const std::string& ombreliaKey);
  // The one instance. Before configure() it stops the process with a fatal message.
  static OmbreliaConfig& shared();
  // True once configure() has run.
  static bool isConfigured();

  OmbreliaConfig(const OmbreliaConfig&) = delete;
  OmbreliaConfig& operator=(const OmbreliaConfig&) = delete;

  std::string ombreliaKey() const;
  void setOmbreliaKey(std::string value);
  std::string videoID() const;
  void setVideoID(std::string value);
  std::string analyticsVideoID() const;
  void setAnalyticsVideoID(std::string value);
  bool activated() const;
  void setActivated(bool value);
  bool p2pActivated() const;
  void setP2pActivated(bool value);
  std::optional<int64_t> currentLevel() const;
  void setCurrentLevel(std::optional<int64_t> value);
  int64_t maxPreloadedSegments() const;
  void setMaxPreloadedSegments(int64_t value);
  double maxUploadPercent() const;
  // A value that is not a finite number is refused and one beyond ±10^12 taken as that bound,
  // each with one log line: peers are sent it as a number, times the segments held.
  void setMaxUploadPercent(double value);
  std::string tracker() const;
  void setTracker(std::string value);
  bool checkUrls() const;
  void setCheckUrls(bool value);
  std::string ignoreTokenInUrls() const;
  void setIgnoreTokenInUrls(std::string value);
  bool sendingActivated() const;
  void setSendingActivated(bool value);
  bool cellularActivated() const;
  void setCellularActivated(bool value);
  int64_t logLevel() const;
  void setLogLevel(int64_t value);
  bool lowLatency() const;
  void setLowLatency(bool value);
  std::optional<std::string> p2pConfiguration() const;
  void setP2pConfiguration(std::optional<std::string> value);
  std::vector<std::string> collections() const;
  void setCollections(std::vector<std::string> value);

 private:
  explicit OmbreliaConfig(std::string ombreliaKey);

  mutable std::mutex mutex_;
  std::string ombreliaKey_;
  std::string videoID_;
  std::string analyticsVideoID_;
  bool activated_ = true;
  bool p2pActivated_ = true;
  std::optional<int64_t> currentLevel_ = 0;
  int64_t maxPreloadedSegments_ = 0;
  double maxUploadPercent_ = 0.5;
  std::string tracker_;
  bool checkUrls_ = false;
  std::string ignoreTokenInUrls_;
  bool sendingActivated_ = true;
  bool cellularActivated_ = true;
  int64_t logLevel_ = 0;
  bool lowLatency_ = false;
  std::optional<std::string> p2pConfiguration_;
  std::vector<std::string> collections_;
};

}  // namespace ombrelia
