#pragma once
// Called from the library's threads (request threads and the analytics report): implementations
// must answer from any thread.

#include <ombrelia/Export.hpp>

namespace ombrelia {

// Implemented by the application: what only the player knows.
class OMBRELIA_API AnalyticsManagerProtocol {
 public:
  virtual ~AnalyticsManagerProtocol() = default;
  // Seconds of media the player holds buffered ahead of its play position.
  virtual double getPrebufferingDuration() = 0;
  // The player's current latency, in a unit of the application's choice; reported unchanged.
  virtual double getLatency() = 0;
};

}  // namespace ombrelia
