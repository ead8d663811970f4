#include "platform/Backoff.hpp"

#include <algorithm>
#include <cmath>

namespace ombrelia::platform {

Backoff::Backoff(Settings settings)
    : settings_(settings), random_(static_cast<uint32_t>(std::random_device{}())) {}

std::chrono::milliseconds Backoff::nextDelay() {
  uint32_t retry = retries_;
  if (retries_ < UINT32_MAX) ++retries_;
  if (retry == 0) return std::chrono::milliseconds(0);
  const double cap = static_cast<double>(settings_.maxDelay.count());
  // The exponent is bounded so the power stays finite; the cap applies long before.
  double delay = static_cast<double>(settings_.initialDelay.count()) *
                 std::pow(std::max(settings_.multiplier, 1.0), std::min<uint32_t>(retry - 1, 64));
  delay = std::min(delay, cap);
  double jitter = std::clamp(settings_.jitter, 0.0, 1.0);
  double fraction = std::uniform_real_distribution<double>(0.0, 1.0)(random_);
  delay *= 1.0 - jitter * fraction;
  return std::chrono::milliseconds(static_cast<int64_t>(delay));
}

}  // namespace ombrelia::platform
