#pragma once
// One thread at a time: written through its periodic record (the analytics service, under its
// lock) and encoded with it.

#include <cstdint>
#include <optional>

#include <nlohmann/json_fwd.hpp>

#include "protocol/MediaCounters.hpp"

namespace ombrelia {

// The figures of one interval taken only while at least one peer's data channel was open: the
// periodic record passes its segments and copies its buffer, stall and quality-change figures
// here only then.
class ConnectedMetrics : public MediaCounters {
 public:
  ConnectedMetrics() { reset(); }

  // The same media rule as the periodic record, with the arguments it computed.
  void updateMetrics(int64_t dataSizeInKB, int64_t dataSizeInSeconds, bool isHttp,
                     PeerType peerType, bool bestQuality, const SegmentInfo& segmentInfo,
                     const MetricsContext& context);
  // Zeroes the media figures and buckets and restores represented_client to 1; the copied
  // figures keep what they hold.
  void reset();

  // The 24 keys, always present, in declaration order (which differs from the periodic
  // record's order for the proximity fields and the buckets).
  nlohmann::ordered_json toJSON() const;
  // Every one of the 24 keys required with its type; other members ignored.
  static std::optional<ConnectedMetrics> fromJSON(const nlohmann::ordered_json& object);

  int64_t represented_client = 1;
  // Copied from the periodic record.
  int64_t isStalled = 0;
  int64_t nbrStalls = 0;
  int64_t nbrQualityChange = 0;
  double current_buffer = 0.0;
};

}  // namespace ombrelia
