#pragma once
// Any thread: the delegate is read through its weak reference on every call, and a stall's start
// and end may come from different threads.

#include <cstdint>
#include <memory>
#include <string>

#include <ombrelia/AnalyticsManagerProtocol.hpp>
#include <ombrelia/Export.hpp>

namespace ombrelia {

// The application's analytics object. Create it after OmbreliaConfig::configure(), give it a
// delegate, call trackBuffering() so the player's buffer gates peer downloads, and hand it to
// the proxy manager.
class OMBRELIA_API AnalyticsManager {
 public:
  // Creates the analytics service for the configured customer key. Before configure() the
  // process stops with the configuration's message.
  [[nodiscard]] static std::shared_ptr<AnalyticsManager> create();

  ~AnalyticsManager();
  AnalyticsManager(const AnalyticsManager&) = delete;
  AnalyticsManager& operator=(const AnalyticsManager&) = delete;

  // Held weakly: once the application releases it, the manager answers as if none were set.
  std::shared_ptr<AnalyticsManagerProtocol> delegate() const;
  void setDelegate(std::weak_ptr<AnalyticsManagerProtocol> delegate);

  // Makes this manager the source of the player's buffer for the library's buffer gate.
  void trackBuffering();
  // Detaches whatever source the buffer gate holds.
  void cleanup();

  // The delegate's answers, or 0.0 without a delegate.
  double getPrebufferingDuration() const;
  double getLatency() const;

  // Playback stalled: the stall is counted, attributed to the source of the earliest segment
  // request that has completed (to none before any has).
  void handleBuffering();
  // Playback resumed: the stall's whole seconds since the latest handleBuffering() are reported
  // for the source it was attributed to. Without an open stall nothing happens.
  void calculateTotalBufferingTime();
  // Carried in every following analytics record.
  void setStreamType(const std::string& type);

  // Totals since the manager was created, in bytes: every byte of every whole answer from the
  // origin (playlists, segments, byte ranges, init segments, keys, error pages; a body broken
  // off is not counted), every byte from peers, and every byte sent to peers. The periodic
  // analytics records count less from the origin: see the README.
  int64_t getDataCDN() const;
  int64_t getDataPeer() const;
  int64_t getDataSent() const;
  // Peer bytes over all bytes received, from 0 to 1; 0 before anything arrived.
  double getP2PPercent() const;

  // The energy that peer traffic saved, in watt-hours: received and sent together, and each
  // part alone.
  double getEnergySavedInWh() const;
  double getEnergySavedReceivedInWh() const;
  double getEnergySavedSentInWh() const;
  // Equivalents of the total, each with one decimal: lights, grams of CO2, centilitres of water.
  double getEnergySavedInLight() const;
  double getEnergySavedInCO2g() const;
  double getEnergySavedInWatercL() const;
  // Proximity-weighted peer bytes, received and sent, over all bytes received, as a percentage
  // with one decimal; may pass 100. 0 before anything arrived.
  double getGreenScore() const;

 private:
  // The library reaches the service behind this manager through it, for the proxy manager.
  friend class AnalyticsManagerAccess;
  struct Impl;
  explicit AnalyticsManager(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

}  // namespace ombrelia
