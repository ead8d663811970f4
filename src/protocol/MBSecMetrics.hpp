#pragma once
// One thread at a time: its owner's writer (the analytics service, under its lock).

#include <cstdint>
#include <optional>

#include <nlohmann/json_fwd.hpp>

namespace ombrelia {

// One bucket of the device and network breakdowns: kibibytes and whole media seconds from peers
// and from the origin. Owners add to the fields in place.
class MBSecMetrics {
 public:
  MBSecMetrics() { reset(); }

  void reset();
  // The four keys, always present, in declaration order.
  nlohmann::ordered_json toJSON() const;
  // Every key required, as a 64-bit integer; other members ignored.
  static std::optional<MBSecMetrics> fromJSON(const nlohmann::ordered_json& object);

  int64_t MB_peer = 0;
  int64_t MB_server = 0;
  int64_t sec_peer = 0;
  int64_t sec_server = 0;
};

}  // namespace ombrelia
