#include "analytics/AnalyticsService.hpp"

#include <cmath>
#include <limits>

#include "analytics/SaturatingAdd.hpp"

namespace ombrelia {
namespace {

// Whole seconds of a video segment; audio and unknown segments carry no media seconds. A
// duration that is not finite or lies outside the counter's range counts nothing rather than
// stopping the process.
int64_t mediaSeconds(const SegmentInfo& info) {
  if (info.type() != SegmentType::video) return 0;
  const double duration = std::trunc(info.duration());
  if (!std::isfinite(duration) || duration < 0 ||
      duration >= static_cast<double>(std::numeric_limits<int64_t>::max())) {
    return 0;
  }
  return static_cast<int64_t>(duration);
}

}  // namespace

std::shared_ptr<AnalyticsService> AnalyticsService::create(std::string clientID) {
  return std::shared_ptr<AnalyticsService>(new AnalyticsService(std::move(clientID)));
}

AnalyticsService::AnalyticsService(std::string clientID) : clientID_(std::move(clientID)) {}

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

void AnalyticsService::addDataSent(int64_t dataSize, std::optional<PeerType>) {
  if (dataSize <= 0) return;
  std::lock_guard lock(mutex_);
  dataSentP2P_ = saturatingAdd(dataSentP2P_, dataSize);
}

void AnalyticsService::p2pSegmentStartDelay(double milliseconds, std::optional<PeerType>) {
  std::lock_guard lock(mutex_);
  p2pStartDelay_ = milliseconds;
}

int64_t AnalyticsService::getDataSentP2P() const {
  std::lock_guard lock(mutex_);
  return dataSentP2P_;
}

double AnalyticsService::p2pStartDelay() const {
  std::lock_guard lock(mutex_);
  return p2pStartDelay_;
}

void AnalyticsService::addError(int64_t code) {
  std::lock_guard lock(mutex_);
  auto& count = metrics_.HTTP_errors[code];
  count = saturatingAdd(count, 1);
}

void AnalyticsService::httpSegmentStartDelay(double milliseconds) {
  std::lock_guard lock(mutex_);
  metrics_.ttfb_server = milliseconds;
}

void AnalyticsService::addManifestDataReceived(int64_t dataSize) {
  std::lock_guard lock(mutex_);
  metrics_.B_manifest = toKB(dataSize);
  dataReceivedHttp_ = saturatingAdd(dataReceivedHttp_, dataSize);
}

void AnalyticsService::addMediaDataReceived(int64_t dataSize, bool isHttp,
                                            const SegmentInfo& segmentInfo,
                                            std::optional<PeerType> peerType) {
  const int64_t kb = toKB(dataSize);
  const int64_t seconds = mediaSeconds(segmentInfo);
  const bool best = segmentInfo.bandwidth() == segmentInfo.bestBandwidth();
  std::lock_guard lock(mutex_);
  if (isHttp) {
    metrics_.MB_server = kb;
    metrics_.sec_server = seconds;
    dataReceivedHttp_ = saturatingAdd(dataReceivedHttp_, dataSize);
  } else {
    metrics_.MB_peer = kb;
    metrics_.sec_peer = seconds;
    switch (peerType.value_or(PeerType::unknown)) {
      case PeerType::ip:
        metrics_.MB_peer_ip = kb;
        break;
      case PeerType::city:
        metrics_.MB_peer_city = kb;
        break;
      case PeerType::region:
        metrics_.MB_peer_region = kb;
        break;
      case PeerType::country:
        metrics_.MB_peer_country = kb;
        break;
      case PeerType::unknown:
        break;
    }
    dataReceivedP2P_ = saturatingAdd(dataReceivedP2P_, dataSize);
  }
  if (best) {
    metrics_.bestQuality = saturatingAdd(metrics_.bestQuality, kb);
    metrics_.timeHQ = saturatingAdd(metrics_.timeHQ, seconds);
  } else {
    metrics_.otherQualities = saturatingAdd(metrics_.otherQualities, kb);
    metrics_.timeLQ = saturatingAdd(metrics_.timeLQ, seconds);
  }
  seg_dur_list_.push_back(segmentInfo.duration());
}

void AnalyticsService::segmentRequested(const std::string& quality) {
  std::lock_guard lock(mutex_);
  if (lastQuality_.empty()) {
    lastQuality_ = quality;
  } else if (lastQuality_ != quality) {
    metrics_.nbrQualityChange = saturatingAdd(metrics_.nbrQualityChange, 1);
    lastQuality_ = quality;
  }
}

void AnalyticsService::setSegmentExtension(const std::string& segmentExtension) {
  std::lock_guard lock(mutex_);
  if (metrics_.seg_ext != segmentExtension) metrics_.seg_ext = segmentExtension;
}

int64_t AnalyticsService::getDataReceivedHTTP() const {
  std::lock_guard lock(mutex_);
  return dataReceivedHttp_;
}

int64_t AnalyticsService::getDataReceivedP2P() const {
  std::lock_guard lock(mutex_);
  return dataReceivedP2P_;
}

AnalyticsService::Metrics AnalyticsService::metrics() const {
  std::lock_guard lock(mutex_);
  return metrics_;
}

std::vector<double> AnalyticsService::segmentDurations() const {
  std::lock_guard lock(mutex_);
  return seg_dur_list_;
}

}  // namespace ombrelia
