#pragma once
// One thread at a time: its owner's writer (the analytics service, under its lock).

#include <cstdint>
#include <optional>

#include <nlohmann/json_fwd.hpp>

#include "protocol/QualityType.hpp"

namespace ombrelia {

// Kibibytes of media received in one interval, by quality class.
class QualityMetrics {
 public:
  QualityMetrics() { reset(); }

  // Adds to the one counter of the class; a sum past the 64-bit range stays at its bound.
  void update(int64_t dataSizeInKB, QualityType qualityType);
  void reset();

  // Every key always present, in declaration order; K2, K4 and K8 travel as "2K", "4K", "8K".
  nlohmann::ordered_json toJSON() const;
  // Every key required, as a 64-bit integer; other members ignored.
  static std::optional<QualityMetrics> fromJSON(const nlohmann::ordered_json& object);

  int64_t SD = 0;
  int64_t HD = 0;
  int64_t FullHD = 0;
  int64_t K2 = 0;
  int64_t K4 = 0;
  int64_t K8 = 0;
  int64_t audio = 0;
};

}  // namespace ombrelia
