#pragma once
// Called on the analytics report's queue: implementations answer from any thread.

namespace ombrelia {

// What the analytics service asks of its owner at each report.
class AnalyticsServiceProtocol {
 public:
  virtual ~AnalyticsServiceProtocol() = default;
  // The player's latency figure, written into the record unchanged.
  virtual double getLatency() = 0;
};

}  // namespace ombrelia
