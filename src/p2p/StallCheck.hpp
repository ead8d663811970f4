#pragma once
// Any thread: a pure function.

#include <optional>
#include <vector>

namespace ombrelia {

// Decides when the subscription falls behind the player: too little buffer, or a segment
// request that will not arrive in time.
class StallCheck {
 public:
  // The timings of one unfinished main request.
  struct Request {
    std::optional<double> timeLeft;  // none before its first frame
    double elapsed = 0;
  };

  StallCheck() = delete;

  // `bufferLength` in seconds (none without a buffering delegate), `segmentDuration` in
  // seconds; requests in list order.
  static bool shouldStop(std::optional<double> bufferLength, double segmentDuration,
                         const std::vector<Request>& requests);
};

}  // namespace ombrelia
