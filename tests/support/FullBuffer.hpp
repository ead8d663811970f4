#pragma once
// Any thread: answers constants.

#include <ombrelia/AnalyticsManagerProtocol.hpp>

namespace ombrelia::test {

// A player whose buffer stays healthy, so that its segments may come from peers.
class FullBuffer : public AnalyticsManagerProtocol {
 public:
  double getPrebufferingDuration() override { return 30; }
  double getLatency() override { return 0; }
};

}  // namespace ombrelia::test
