#pragma once
// Any thread: a pure function.

#include <cstddef>
#include <cstdint>
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
    // For the debug log only: which segment, and whether the peer has answered yet.
    int64_t segmentNumber = 0;
    bool answered = false;
  };

  // Why the subscription stops: the rule that fired, and the request that fired it (none for
  // the buffer rule).
  struct Verdict {
    const char* rule = "";
    std::optional<size_t> request;
  };

  StallCheck() = delete;

  // `bufferLength` in seconds (none without a buffering delegate), `segmentDuration` in
  // seconds; requests in list order.
  static bool shouldStop(std::optional<double> bufferLength, double segmentDuration,
                         const std::vector<Request>& requests);
  // The same rules; none when the subscription keeps going.
  static std::optional<Verdict> judge(std::optional<double> bufferLength, double segmentDuration,
                                      const std::vector<Request>& requests);
};

}  // namespace ombrelia
