#pragma once
// One thread at a time: filled by the analytics service, then handed whole to one message.

#include <nlohmann/json_fwd.hpp>

namespace ombrelia {

// The per-interval analytics record. Only the part the signalling client relies on is here: it
// encodes to one JSON object, members in their declaration order.
class PlayerMetrics {
 public:
  double latency() const { return latency_; }
  void setLatency(double value) { latency_ = value; }

  nlohmann::ordered_json toJSON() const;

 private:
  double latency_ = 0;
};

}  // namespace ombrelia
