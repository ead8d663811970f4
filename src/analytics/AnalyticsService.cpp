#include "analytics/AnalyticsService.hpp"

#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

#include "analytics/DeviceTypeChecker.hpp"
#include "analytics/MetricsContextSource.hpp"
#include "peers/PeerList.hpp"
#include "platform/NotificationCenter.hpp"
#include "platform/Timer.hpp"
#include "platform/url/Utf8.hpp"
#include "protocol/AnalyticsInitMessage.hpp"
#include "protocol/AnalyticsMessage.hpp"
#include "protocol/SaturatingAdd.hpp"
#include "store/BufferingController.hpp"
#include "store/ManifestController.hpp"

namespace ombrelia {
namespace {

// A figure that is not a finite number would make the whole record unwritable as JSON and so
// lose the interval's report; such a figure (from the application or a clock gone wrong) is
// reported as 0 instead.
double finiteOrZero(double value) { return std::isfinite(value) ? value : 0.0; }

}  // namespace

std::shared_ptr<AnalyticsService> AnalyticsService::create(std::string clientID) {
  std::shared_ptr<AnalyticsService> service(new AnalyticsService(std::move(clientID)));
  service->startTimer();
  return service;
}

AnalyticsService::AnalyticsService(std::string clientID)
    : clientID_(Utf8::valid(clientID)), deviceType_(DeviceTypeChecker::currentDeviceType()) {}

AnalyticsService::~AnalyticsService() { stopTimer(); }

std::shared_ptr<AnalyticsServiceProtocol> AnalyticsService::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void AnalyticsService::setDelegate(std::weak_ptr<AnalyticsServiceProtocol> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void AnalyticsService::startTimer() {
  auto timer = platform::Timer::scheduled(
      {std::chrono::duration_cast<std::chrono::milliseconds>(kReportInterval), true, nullptr},
      [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->updateFunction();
      });
  std::lock_guard lock(mutex_);
  timer_ = std::move(timer);
}

void AnalyticsService::stopTimer() {
  std::shared_ptr<platform::Timer> timer;
  {
    std::lock_guard lock(mutex_);
    timer.swap(timer_);
  }
  if (timer) timer->invalidate();
}

void AnalyticsService::updateFunction() { afterSleep(); }

void AnalyticsService::afterSleep() {
  std::lock_guard report(reportMutex_);
  // A service made on its own (by a loader under test) must not stop the process at its tick.
  if (!OmbreliaConfig::isConfigured()) return;
  auto& config = OmbreliaConfig::shared();
  if (!config.activated()) return;
  const auto personalUUID = PeerList::shared().personalUUID();
  if (!personalUUID) {
    OmbreliaLogger::error("Error: socket not yet connected, personal UUID not received",
                          OLogModule::analytics);
    return;
  }

  // Everything asked of other objects is asked before the lock: the application's delegate may
  // call back into the manager's read-outs, and the peer list has a lock of its own.
  // Texts from the application or decoded from origin URLs may hold bytes that are not UTF-8;
  // one such text would make the whole record unwritable and lose the interval's figures, so
  // what is not UTF-8 is replaced.
  const std::string ts = currentTimestampString();
  const std::string videoID = Utf8::valid(config.videoID());
  auto collections = config.collections();
  for (auto& collection : collections) collection = Utf8::valid(collection);
  const auto owner = delegate();
  const double latency = finiteOrZero(owner ? owner->getLatency() : 0.0);
  const int64_t segmentCount = ManifestController::shared().lastManifestSegments();
  const auto qualityCount = static_cast<int64_t>(ManifestController::shared().resolutions().size());
  const double buffer = finiteOrZero(BufferingController::shared().getBufferLength().value_or(0.0));
  const bool peerConnected = MetricsContextSource::anyPeerConnected();
  const std::string clientUUID = personalUUID->lowercaseString();

  std::shared_ptr<const InitMetrics> init;
  std::shared_ptr<const PlayerMetrics> record;
  {
    std::lock_guard lock(mutex_);
    // Sent at every report until the tracker connection has taken it: a report made while the
    // connection is down would otherwise lose it for good.
    if (!initMetricsSent_) {
      initMetrics_.setNew_client_number(1);
      initMetrics_.setTimestamp(ts);
      initMetrics_.setVideo_id(videoID);
      initMetrics_.setNew_client_uuid(clientUUID);
      init = std::make_shared<const InitMetrics>(initMetrics_);
    }
    metrics_.latency = latency;
    metrics_.seg_nbr = segmentCount;
    metrics_.seg_dur = calculateSegmentDurationAvrige();
    metrics_.q_nbr = qualityCount;
    metrics_.stream_type = Utf8::valid(stream_type_);
    metrics_.seg_ext = Utf8::valid(metrics_.seg_ext);
    metrics_.setCurrent_buffer(buffer, peerConnected);
    metrics_.peer_id = *personalUUID;
    metrics_.timestamp = ts;
    metrics_.video_id = videoID;
    metrics_.client_uuid = clientUUID;
    metrics_.setIsStalled(isStalled_ ? 1 : 0, peerConnected);
    metrics_.collections = std::move(collections);
    record = std::make_shared<const PlayerMetrics>(std::move(metrics_));
    metrics_ = PlayerMetrics();
  }

  auto& center = platform::NotificationCenter::defaultCenter();
  if (init) {
    AnalyticsInitMessage message(clientID_, std::move(init));
    message.setOnTaken([weak = weak_from_this()] {
      if (auto self = weak.lock()) {
        std::lock_guard lock(self->mutex_);
        self->initMetricsSent_ = true;
      }
    });
    center.post(kInitNotification, std::move(message));
  }
  center.post(kMessageNotification, AnalyticsMessage(clientID_, std::move(record)));
}

double AnalyticsService::calculateSegmentDurationAvrige() {
  if (segmentDurationCount_ == 0) return 0.0;
  const double mean = segmentDurationSum_ / static_cast<double>(segmentDurationCount_);
  segmentDurationSum_ = 0;
  segmentDurationCount_ = 0;
  return finiteOrZero(mean);
}

std::string AnalyticsService::currentTimestampString() {
  const auto now = std::chrono::system_clock::now();
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const size_t length = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  char fraction[8];
  std::snprintf(fraction, sizeof(fraction), ".%03dZ", static_cast<int>(millis % 1000));
  return std::string(text, length) + fraction;
}

void AnalyticsService::newHttpRequest() {
  std::lock_guard lock(mutex_);
  metrics_.nReq_server = saturatingAdd(metrics_.nReq_server, 1);
  metrics_.nReq = saturatingAdd(metrics_.nReq, 1);
}

void AnalyticsService::newP2PRequest() {
  std::lock_guard lock(mutex_);
  metrics_.nReq_p2p = saturatingAdd(metrics_.nReq_p2p, 1);
  metrics_.nReq = saturatingAdd(metrics_.nReq, 1);
}

void AnalyticsService::addError(int64_t code) {
  std::lock_guard lock(mutex_);
  metrics_.addError(code);
}

void AnalyticsService::httpSegmentStartDelay(double milliseconds) {
  std::lock_guard lock(mutex_);
  metrics_.ttfb_server = finiteOrZero(milliseconds);
}

void AnalyticsService::p2pSegmentStartDelay(double milliseconds, std::optional<PeerType> peerType) {
  std::lock_guard lock(mutex_);
  metrics_.updatep2pSegmentStartDelay(finiteOrZero(milliseconds),
                                      peerType.value_or(PeerType::unknown));
}

void AnalyticsService::addOriginDataReceived(int64_t dataSize) {
  std::lock_guard lock(mutex_);
  dataReceived_.http = saturatingAdd(dataReceived_.http, dataSize);
}

void AnalyticsService::addManifestDataReceived(int64_t dataSize) {
  std::lock_guard lock(mutex_);
  // Its bytes are in the origin total already, counted as they came.
  metrics_.updateManifest(dataSize);
}

void AnalyticsService::addMediaDataReceived(int64_t dataSize, bool isHttp,
                                            const SegmentInfo& segmentInfo,
                                            std::optional<PeerType> peerType) {
  const MetricsContext context = MetricsContextSource::current();
  std::lock_guard lock(mutex_);
  metrics_.updateMedia(dataSize, isHttp, segmentInfo, peerType.value_or(PeerType::unknown),
                       context);
  // A duration that is not a finite number would turn the interval's mean into one.
  if (std::isfinite(segmentInfo.duration())) {
    segmentDurationSum_ += segmentInfo.duration();
    segmentDurationCount_ = saturatingAdd(segmentDurationCount_, 1);
  }
  // Origin bytes are in the origin total already, counted as they came.
  if (!isHttp) dataReceived_.p2p.updateValue(peerType, dataSize);
}

void AnalyticsService::addDataSent(int64_t dataSize, std::optional<PeerType> type) {
  std::lock_guard lock(mutex_);
  dataSent_.updateValue(type, dataSize);
}

void AnalyticsService::segmentRequested(const std::string& quality) {
  const bool peerConnected = MetricsContextSource::anyPeerConnected();
  std::lock_guard lock(mutex_);
  if (lastQuality_.empty()) {
    lastQuality_ = quality;
  } else if (lastQuality_ != quality) {
    metrics_.setNbrQualityChange(saturatingAdd(metrics_.nbrQualityChange(), 1), peerConnected);
    lastQuality_ = quality;
  }
}

void AnalyticsService::setSegmentExtension(const std::string& segmentExtension) {
  std::lock_guard lock(mutex_);
  if (metrics_.seg_ext != segmentExtension) metrics_.seg_ext = segmentExtension;
}

bool AnalyticsService::initMetricsSent() const {
  std::lock_guard lock(mutex_);
  return initMetricsSent_;
}

bool AnalyticsService::isStalled() const {
  std::lock_guard lock(mutex_);
  return isStalled_;
}

void AnalyticsService::setStreamType(const std::string& streamType) {
  std::lock_guard lock(mutex_);
  stream_type_ = streamType;
}

void AnalyticsService::setOnBufferingHookForTesting(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  onBufferingHook_ = std::move(hook);
}

void AnalyticsService::onBuffering(std::optional<Decision> type) {
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    hook = onBufferingHook_;
  }
  if (hook) hook();
  const bool peerConnected = MetricsContextSource::anyPeerConnected();
  std::lock_guard lock(mutex_);
  isStalled_ = true;
  metrics_.setNbrStalls(saturatingAdd(metrics_.nbrStalls(), 1), peerConnected);
  if (type == Decision::p2p) metrics_.nbrStallsP2P = saturatingAdd(metrics_.nbrStallsP2P, 1);
  if (type == Decision::http) metrics_.nbrStallsHTTP = saturatingAdd(metrics_.nbrStallsHTTP, 1);
}

void AnalyticsService::rebufferingSecondsReceived(int64_t sec, std::optional<Decision> type) {
  std::lock_guard lock(mutex_);
  isStalled_ = false;
  metrics_.sec_rebuff = sec;
  if (type == Decision::p2p) metrics_.sec_rebuff_p2p = sec;
  if (type == Decision::http) metrics_.sec_rebuff_http = sec;
}

int64_t AnalyticsService::getDataReceivedHTTP() const {
  std::lock_guard lock(mutex_);
  return dataReceived_.http;
}

int64_t AnalyticsService::getDataReceivedP2P() const {
  std::lock_guard lock(mutex_);
  return dataReceived_.p2p.p2p;
}

int64_t AnalyticsService::getDataSent() const {
  std::lock_guard lock(mutex_);
  return dataSent_.p2p;
}

double AnalyticsService::getPercentDataReceived() const {
  std::lock_guard lock(mutex_);
  const auto peer = static_cast<double>(dataReceived_.p2p.p2p);
  const auto http = static_cast<double>(dataReceived_.http);
  // Before any byte arrived there is no share to speak of; 0/0 would hand the application NaN.
  if (http + peer <= 0) return 0.0;
  return peer / (http + peer);
}

double AnalyticsService::getEnergySavedInWh() const {
  std::lock_guard lock(mutex_);
  return energyUtils_.energySavedWh(dataReceived_, dataSent_);
}

double AnalyticsService::getEnergySavedReceivedInWh() const {
  std::lock_guard lock(mutex_);
  return energyUtils_.energySavedReceivedWh(dataReceived_);
}

double AnalyticsService::getEnergySavedSentInWh() const {
  std::lock_guard lock(mutex_);
  return energyUtils_.energySavedSentWh(dataSent_);
}

double AnalyticsService::getEnergySavedInLight() const {
  return energyUtils_.energyInLight(getEnergySavedInWh());
}

double AnalyticsService::getEnergySavedInCO2g() const {
  return energyUtils_.energyInCO2g(getEnergySavedInWh());
}

double AnalyticsService::getEnergySavedInWatercL() const {
  return energyUtils_.energyInWatercL(getEnergySavedInWh());
}

double AnalyticsService::getGreenScore() const {
  std::lock_guard lock(mutex_);
  return energyUtils_.greenScore(dataReceived_, dataSent_);
}

AnalyticsService::Metrics AnalyticsService::metrics() const {
  std::lock_guard lock(mutex_);
  return metrics_;
}

DataReceived AnalyticsService::dataReceived() const {
  std::lock_guard lock(mutex_);
  return dataReceived_;
}

DataP2P AnalyticsService::dataSent() const {
  std::lock_guard lock(mutex_);
  return dataSent_;
}

}  // namespace ombrelia
