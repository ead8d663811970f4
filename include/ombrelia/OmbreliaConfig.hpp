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

  // Settings the library reads, each at the moment of use unless said otherwise.

  // Read once, by AnalyticsManager::create(): the key its reports carry.
  std::string ombreliaKey() const;
  void setOmbreliaKey(std::string value);
  // The video identifier the analytics records carry. (The identity of the segments a proxy
  // stores and shares is the identifier given to its ProxyManager, not this one.)
  std::string videoID() const;
  void setVideoID(std::string value);
  // False: the proxy passes every request to the origin, with no peer engine. Read when a
  // ProxyManager is created, and by every peer decision.
  bool activated() const;
  void setActivated(bool value);
  // False: no segment is taken from, stored for or offered to peers.
  bool p2pActivated() const;
  void setP2pActivated(bool value);
  // The variant a master playlist is cut down to (0: the lowest; past the last: the highest);
  // absent: the master is passed on whole and the player chooses.
  std::optional<int64_t> currentLevel() const;
  void setCurrentLevel(std::optional<int64_t> value);
  // Segments after the one the player asks for that are asked along with it; 0: none.
  int64_t maxPreloadedSegments() const;
  void setMaxPreloadedSegments(int64_t value);
  // The share of its segments a viewer offers to upload, sent to peers.
  double maxUploadPercent() const;
  // A value that is not a finite number is refused and one beyond ±10^12 taken as that bound,
  // each with one log line: peers are sent it as a number, times the segments held.
  void setMaxUploadPercent(double value);
  // Appended to the tracker URL as its "config" query item at every connection.
  std::optional<std::string> p2pConfiguration() const;
  void setP2pConfiguration(std::optional<std::string> value);
  // The collections the analytics records carry.
  std::vector<std::string> collections() const;
  void setCollections(std::vector<std::string> value);

  // Settings the library keeps only as values: no part of it reads them, so setting one changes
  // nothing the library does; an application may keep its own values here.
  //  - tracker: the signalling service is not chosen here. The library connects to its
  //    compiled-in service (wss://signal.ombrelia.com:443/) and then to the trackers that service
  //    lists; the application interface has no way to choose another (see the README).
  //  - analyticsVideoID: the records carry videoID().
  //  - logLevel: the console logger follows OLoggerConfig::setActiveLogLevel().
  //  - checkUrls, ignoreTokenInUrls, sendingActivated, cellularActivated, lowLatency.
  std::string tracker() const;
  void setTracker(std::string value);
  std::string analyticsVideoID() const;
  void setAnalyticsVideoID(std::string value);
  int64_t logLevel() const;
  void setLogLevel(int64_t value);
  bool checkUrls() const;
  void setCheckUrls(bool value);
  std::string ignoreTokenInUrls() const;
  void setIgnoreTokenInUrls(std::string value);
  bool sendingActivated() const;
  void setSendingActivated(bool value);
  bool cellularActivated() const;
  void setCellularActivated(bool value);
  bool lowLatency() const;
  void setLowLatency(bool value);

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
