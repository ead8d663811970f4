#pragma once
// One thread at a time: its owner's writer (the analytics service, under its lock).

#include <cstdint>

#include <ombrelia/SegmentInfo.hpp>

#include "protocol/MBSecMetrics.hpp"
#include "protocol/MetricsContext.hpp"
#include "protocol/PeerType.hpp"
#include "protocol/QualityMetrics.hpp"

namespace ombrelia {

// The media figures that the periodic record and its connected-peer sub-record both keep, and
// the one rule by which a counted segment feeds them. Each record writes them under its own key
// order.
class MediaCounters {
 public:
  // Set from the latest segment of its kind.
  int64_t MB_peer = 0;
  int64_t MB_server = 0;
  int64_t sec_peer = 0;
  int64_t sec_server = 0;
  int64_t MB_peer_city = 0;
  int64_t MB_peer_country = 0;
  int64_t MB_peer_ip = 0;
  int64_t MB_peer_region = 0;
  // Added over the interval.
  int64_t timeHQ = 0;
  int64_t timeLQ = 0;
  int64_t bestQuality = 0;
  int64_t otherQualities = 0;
  MBSecMetrics phone;
  MBSecMetrics tablet;
  MBSecMetrics desktop;  // no device class selects it: always zero
  MBSecMetrics tv;
  MBSecMetrics wifi;
  MBSecMetrics cellular;
  QualityMetrics qualities;

 protected:
  // One segment of `kb` kibibytes and `seconds` media seconds, from the origin when `isHttp`.
  void countSegment(int64_t kb, int64_t seconds, bool isHttp, PeerType peerType, bool best,
                    const SegmentInfo& segmentInfo, const MetricsContext& context);

 private:
  MBSecMetrics* deviceBucket(DeviceType device);
  MBSecMetrics* networkBucket(NetworkType network);
};

}  // namespace ombrelia
