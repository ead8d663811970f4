#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <ombrelia/Export.hpp>
#include <ombrelia/SegmentType.hpp>

namespace ombrelia {

// The identity of one media segment, as the manifest store works it out.
class OMBRELIA_API SegmentInfo {
 public:
  SegmentInfo(SegmentType type, int64_t bandwidth, int64_t bestBandwidth,
              std::optional<std::string> resolution, int64_t targetQuality, int64_t segmentNumber,
              double duration)
      : type_(type), bandwidth_(bandwidth), bestBandwidth_(bestBandwidth),
        resolution_(std::move(resolution)), targetQuality_(targetQuality),
        segmentNumber_(segmentNumber), duration_(duration) {}

  SegmentType type() const { return type_; }
  int64_t bandwidth() const { return bandwidth_; }
  int64_t bestBandwidth() const { return bestBandwidth_; }
  const std::optional<std::string>& resolution() const { return resolution_; }
  int64_t targetQuality() const { return targetQuality_; }
  int64_t segmentNumber() const { return segmentNumber_; }
  double duration() const { return duration_; }

 private:
  SegmentType type_;
  int64_t bandwidth_;
  int64_t bestBandwidth_;
  std::optional<std::string> resolution_;
  int64_t targetQuality_;
  int64_t segmentNumber_;
  double duration_;
};

}  // namespace ombrelia
