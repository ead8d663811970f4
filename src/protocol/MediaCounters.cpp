#include "protocol/MediaCounters.hpp"

#include "protocol/SaturatingAdd.hpp"

namespace ombrelia {

void MediaCounters::countSegment(int64_t kb, int64_t seconds, bool isHttp, PeerType peerType,
                                 bool best, const SegmentInfo& segmentInfo,
                                 const MetricsContext& context) {
  MBSecMetrics* buckets[] = {deviceBucket(context.device), networkBucket(context.network)};
  if (isHttp) {
    MB_server = kb;
    sec_server = seconds;
    for (MBSecMetrics* bucket : buckets) {
      if (bucket == nullptr) continue;
      bucket->MB_server = saturatingAdd(bucket->MB_server, kb);
      bucket->sec_server = saturatingAdd(bucket->sec_server, seconds);
    }
  } else {
    MB_peer = kb;
    sec_peer = seconds;
    switch (peerType) {
      case PeerType::ip:
        MB_peer_ip = kb;
        break;
      case PeerType::city:
        MB_peer_city = kb;
        break;
      case PeerType::region:
        MB_peer_region = kb;
        break;
      case PeerType::country:
        MB_peer_country = kb;
        break;
      case PeerType::unknown:
        break;
    }
    for (MBSecMetrics* bucket : buckets) {
      if (bucket == nullptr) continue;
      bucket->MB_peer = saturatingAdd(bucket->MB_peer, kb);
      bucket->sec_peer = saturatingAdd(bucket->sec_peer, seconds);
    }
  }

  if (best) {
    bestQuality = saturatingAdd(bestQuality, kb);
    timeHQ = saturatingAdd(timeHQ, seconds);
  } else {
    otherQualities = saturatingAdd(otherQualities, kb);
    timeLQ = saturatingAdd(timeLQ, seconds);
  }

  if (segmentInfo.type() == SegmentType::audio) {
    qualities.update(kb, QualityType::AUDIO);
  } else if (segmentInfo.type() == SegmentType::video && segmentInfo.resolution()) {
    if (auto quality = determineQualityType(*segmentInfo.resolution())) {
      qualities.update(kb, *quality);
    }
  }
}

MBSecMetrics* MediaCounters::deviceBucket(DeviceType device) {
  switch (device) {
    case DeviceType::iPhone:
      return &phone;
    case DeviceType::iPad:
      return &tablet;
    case DeviceType::tvOS:
      return &tv;
    case DeviceType::unknown:
      break;
  }
  return nullptr;
}

MBSecMetrics* MediaCounters::networkBucket(NetworkType network) {
  switch (network) {
    case NetworkType::wifi:
      return &wifi;
    case NetworkType::cellular:
      return &cellular;
    case NetworkType::unknown:
      break;
  }
  return nullptr;
}

}  // namespace ombrelia
