#include "p2p/StallCheck.hpp"

namespace ombrelia {

namespace {

// A main request still unfinished this long after it was sent has missed the player's pace
// whatever the buffer says.
constexpr double kMaxElapsedSeconds = 3.0;

}  // namespace

bool StallCheck::shouldStop(std::optional<double> b, double sd,
                            const std::vector<Request>& requests) {
  return judge(b, sd, requests).has_value();
}

std::optional<StallCheck::Verdict> StallCheck::judge(std::optional<double> b, double sd,
                                                     const std::vector<Request>& requests) {
  if (b && *b < 0.75 * sd) return Verdict{"buffer below three quarters of a segment", {}};
  for (size_t i = 0; i < requests.size(); ++i) {
    const auto& t = requests[i].timeLeft;
    const double e = requests[i].elapsed;
    if (b && !t && *b < 1.1 * sd) return Verdict{"no frame yet and little buffer", i};
    if (t && b && *b < 2 * sd && 0.8 * *b < *t) return Verdict{"the rest would come too late", i};
    if (b && e > 2 * sd && *b<3 * sd&& * b> 2 * sd)
      return Verdict{"over two segments old with two to three in the buffer", i};
    if (e > 3 * sd) return Verdict{"over three segments old", i};
    if (e > kMaxElapsedSeconds) return Verdict{"unfinished after three seconds", i};
  }
  return std::nullopt;
}

}  // namespace ombrelia
