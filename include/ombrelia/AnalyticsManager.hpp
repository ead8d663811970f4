#pragma once
// Any thread: the delegate is read through its weak reference on every call.

#include <cstdint>
#include <memory>

#include <ombrelia/AnalyticsManagerProtocol.hpp>

namespace ombrelia {

class AnalyticsService;

// The application's analytics object. Create it after OmbreliaConfig::configure(), give it a
// delegate, call trackBuffering() so the player's buffer gates peer downloads, and hand it to
// the proxy manager.
class AnalyticsManager {
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

  // The service this manager owns, the same object at every call. Opaque to the application:
  // the proxy manager hands it to the loaders.
  std::shared_ptr<AnalyticsService> getAnalyticsService() const;

  // Makes this manager the source of the player's buffer for the library's buffer gate.
  void trackBuffering();
  // Detaches whatever source the buffer gate holds.
  void cleanup();

  // The delegate's answers, or 0.0 without a delegate.
  double getPrebufferingDuration() const;
  double getLatency() const;

  // Totals since the manager was created, in bytes: every byte from the origin (segments and
  // playlists), and every byte from peers.
  int64_t getDataCDN() const;
  int64_t getDataPeer() const;
  // Peer bytes over all bytes received, from 0 to 1; not a number before anything arrived.
  double getP2PPercent() const;

 private:
  struct Impl;
  explicit AnalyticsManager(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

}  // namespace ombrelia
