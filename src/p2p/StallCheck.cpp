#include "p2p/StallCheck.hpp"

namespace ombrelia {

namespace {

// A main request still unfinished this long after it was sent has missed the player's pace
// whatever the buffer says.
constexpr double kMaxElapsedSeconds = 3.0;

}  // namespace

bool StallCheck::shouldStop(std::optional<double> b, double sd,
                            const std::vector<Request>& requests) {
  if (b && *b < 0.75 * sd) return true;
  for (const auto& request : requests) {
    const auto& t = request.timeLeft;
    const double e = request.elapsed;
    if (b && !t && *b < 1.1 * sd) return true;
    if (t && b && *b < 2 * sd && 0.8 * *b < *t) return true;
    if (b && e > 2 * sd && *b<3 * sd&& * b> 2 * sd) return true;
    if (e > 3 * sd) return true;
    if (e > kMaxElapsedSeconds) return true;
  }
  return false;
}

}  // namespace ombrelia
