#pragma once
// Any thread: the loaders, the download controller, the peer engine, the main queue and the
// application all call it. One mutex guards the figures; a second one keeps reports in order.
// The report runs on the main queue every 10 seconds.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <ombrelia/SegmentInfo.hpp>

#include "analytics/AnalyticsServiceProtocol.hpp"
#include "analytics/DataP2P.hpp"
#include "analytics/DataReceived.hpp"
#include "analytics/EnergyUtils.hpp"
#include "protocol/AnalyticsFeed.hpp"
#include "protocol/Decision.hpp"
#include "protocol/DeviceType.hpp"
#include "protocol/InitMetrics.hpp"
#include "protocol/PeerType.hpp"
#include "protocol/PlayerMetrics.hpp"

namespace ombrelia::platform {
class Timer;
}

namespace ombrelia {

// The one analytics sink of the library: every request, byte, error, delay and stall of the
// delivery path is counted here, into the current interval's record and the totals since
// creation; every 10 seconds, while the library is activated and the signalling service has
// given this client its identifier, the record is posted for sending ("AnalyticsMessage"), the
// first time after the init record ("AnalyticsInitMessage"), and a fresh record begins.
class AnalyticsService : public AnalyticsFeed,
                               public std::enable_shared_from_this<AnalyticsService> {
 public:
  using Metrics = PlayerMetrics;

  static constexpr std::chrono::seconds kReportInterval{10};
  static constexpr const char* kInitNotification = "AnalyticsInitMessage";
  static constexpr const char* kMessageNotification = "AnalyticsMessage";

  // Starts the report timer.
  [[nodiscard]] static std::shared_ptr<AnalyticsService> create(std::string clientID);
  ~AnalyticsService();
  AnalyticsService(const AnalyticsService&) = delete;
  AnalyticsService& operator=(const AnalyticsService&) = delete;

  // The customer key both analytics envelopes carry.
  const std::string& clientID() const { return clientID_; }
  // The device class at creation.
  DeviceType deviceType() const { return deviceType_; }

  // Asked for the latency at each report. Held weakly: the owner of the service is its
  // delegate, and a strong reference back would keep both alive for ever.
  std::shared_ptr<AnalyticsServiceProtocol> delegate() const;
  void setDelegate(std::weak_ptr<AnalyticsServiceProtocol> delegate);

  // No report is made after this.
  void stopTimer();
  // One report tick (what the timer runs).
  void afterSleep();

  // One origin request, counted before it is sent.
  void newHttpRequest() override;
  // One segment request handed to a peer.
  void newP2PRequest() override;
  // A transport failure of an origin request, by its URL-loading error code.
  void addError(int64_t code) override;
  // The time from an origin segment request's start to its completion; the latest wins.
  void httpSegmentStartDelay(double milliseconds) override;
  // The time to the first frame of a segment asked of a peer; the latest wins.
  void p2pSegmentStartDelay(double milliseconds, std::optional<PeerType> peerType) override;
  // Every whole origin body, whatever was asked: the origin total; no record field.
  void addOriginDataReceived(int64_t dataSize) override;
  // A stored playlist, for the records only.
  void addManifestDataReceived(int64_t dataSize) override;
  // A segment of a stored playlist, for the records; peer bytes for the totals too. An absent
  // peer type counts as unknown in the record and as unclassified in the totals.
  void addMediaDataReceived(int64_t dataSize, bool isHttp, const SegmentInfo& segmentInfo,
                            std::optional<PeerType> peerType) override;
  // One binary frame sent to a peer.
  void addDataSent(int64_t dataSize, std::optional<PeerType> type) override;
  // Counts a change of the requested quality; the first quality is only remembered.
  void segmentRequested(const std::string& quality) override;
  void setSegmentExtension(const std::string& segmentExtension) override;
  void setStreamType(const std::string& streamType);
  // A stall starts, attributed to the source given (none: to no source).
  void onBuffering(std::optional<Decision> type);
  // The stall ended after `sec` whole seconds.
  void rebufferingSecondsReceived(int64_t sec, std::optional<Decision> type);

  // Totals since creation, in bytes; from the origin, every whole body whatever was asked.
  int64_t getDataReceivedHTTP() const;
  int64_t getDataReceivedP2P() const;
  int64_t getDataSent() const;
  // Peer bytes over all bytes received, from 0 to 1; 0 before anything was received.
  double getPercentDataReceived() const;
  double getEnergySavedInWh() const;
  double getEnergySavedReceivedInWh() const;
  double getEnergySavedSentInWh() const;
  double getEnergySavedInLight() const;
  double getEnergySavedInCO2g() const;
  double getEnergySavedInWatercL() const;
  double getGreenScore() const;

  // Copies taken under the lock.
  Metrics metrics() const;
  // A stall has started and not ended; every record shows it until it ends.
  bool isStalled() const;
  // The tracker connection has taken the init record: it is not sent again.
  bool initMetricsSent() const;
  // Tests only: run at the start of onBuffering(), before the figures are touched, so that a
  // test can hold a stall's start on its way in.
  void setOnBufferingHookForTesting(std::function<void()> hook);
  DataReceived dataReceived() const;
  DataP2P dataSent() const;

  // A byte count in kibibytes, truncated toward zero.
  static int64_t toKB(int64_t bytes) { return PlayerMetrics::toKB(bytes); }

 private:
  explicit AnalyticsService(std::string clientID);
  void startTimer();
  void updateFunction();
  // The mean duration of the segments counted since the last record sent, 0 when none; starts
  // the next mean. Called with mutex_ held.
  double calculateSegmentDurationAvrige();
  static std::string currentTimestampString();

  const std::string clientID_;
  const DeviceType deviceType_;
  EnergyUtils energyUtils_;                 // stateless
  std::shared_ptr<platform::Timer> timer_;  // set once at creation, cleared by stopTimer()

  std::mutex reportMutex_;  // held through a whole report, so records leave in order

  mutable std::mutex mutex_;  // guards every field below
  std::weak_ptr<AnalyticsServiceProtocol> delegate_;
  PlayerMetrics metrics_;
  InitMetrics initMetrics_;
  DataReceived dataReceived_;
  DataP2P dataSent_;
  bool initMetricsSent_ = false;  // the tracker connection has taken the init record
  std::string stream_type_;
  // The durations since the last record sent, kept as their sum and count rather than a list,
  // so a long stretch without reports (no identifier yet, library switched off) costs nothing.
  double segmentDurationSum_ = 0;
  int64_t segmentDurationCount_ = 0;
  std::string lastQuality_;
  bool isStalled_ = false;
  std::function<void()> onBufferingHook_;
};

}  // namespace ombrelia
