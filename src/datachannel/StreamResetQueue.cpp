#include "datachannel/StreamResetQueue.hpp"

namespace ombrelia::datachannel {

void StreamResetQueue::add(uint16_t stream) {
  if (waiting_.count(stream) != 0 || outstanding_.count(stream) != 0) return;
  if (waiting_.empty()) waitingSince_ = Clock::now();
  waiting_.emplace(stream, 0);
}

std::vector<uint16_t> StreamResetQueue::take(bool allAcknowledged, Clock::time_point now) {
  if (!outstanding_.empty()) {
    if (now - requestedAt_ < kOutcomeWait) return {};
    // No outcome came: asked again, so that neither the streams nor the check wait forever.
    for (const auto& [stream, attempts] : outstanding_) {
      if (attempts < kMaxAttempts && waiting_.count(stream) == 0)
        waiting_.emplace(stream, attempts);
    }
    outstanding_.clear();
  }
  if (waiting_.empty()) return {};
  if (!allAcknowledged && now - waitingSince_ < kAcknowledgementWait) return {};
  std::vector<uint16_t> streams;
  for (auto& [stream, attempts] : waiting_) {
    streams.push_back(stream);
    outstanding_[stream] = attempts + 1;
  }
  waiting_.clear();
  requestedAt_ = now;
  return streams;
}

void StreamResetQueue::settle(const std::vector<uint16_t>& streams, bool refused) {
  for (const uint16_t stream : streams) {
    const auto it = outstanding_.find(stream);
    if (it == outstanding_.end()) continue;
    const int attempts = it->second;
    outstanding_.erase(it);
    if (refused && attempts < kMaxAttempts && waiting_.count(stream) == 0) {
      if (waiting_.empty()) waitingSince_ = Clock::now();
      waiting_.emplace(stream, attempts);
    }
  }
}

}  // namespace ombrelia::datachannel
