#include "datachannel/StunQueryBudget.hpp"

namespace ombrelia::datachannel {

StunQueryBudget& StunQueryBudget::shared() {
  static auto* budget = new StunQueryBudget();  // lives as long as the loop it runs on
  return *budget;
}

bool StunQueryBudget::take(platform::MonotonicClock::time_point now) {
  if (!started_) {
    started_ = true;
    refilledAt_ = now;
  }
  if (now > refilledAt_) {
    const auto earned = static_cast<size_t>((now - refilledAt_) / kRefillInterval);
    if (left_ + earned >= kBurst) {
      left_ = kBurst;
      refilledAt_ = now;
    } else {
      left_ += earned;
      refilledAt_ += earned * kRefillInterval;
    }
  }
  if (left_ == 0) return false;
  --left_;
  return true;
}

}  // namespace ombrelia::datachannel
