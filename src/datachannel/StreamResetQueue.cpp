#include "datachannel/StreamResetQueue.hpp"

namespace ombrelia::datachannel {

void StreamResetQueue::add(uint16_t stream, Clock::time_point now) {
  if (waiting_.count(stream) != 0 || outstanding_.count(stream) != 0) return;
  if (waiting_.empty()) dueSince_ = now;
  waiting_.emplace(stream, 0);
}

std::vector<uint16_t> StreamResetQueue::take(bool allAcknowledged, Clock::time_point lastDataSent,
                                             Clock::time_point now) {
  if (!due()) return {};
  const bool flowing = now - lastDataSent < kAcknowledgementWait;
  if (!allAcknowledged && !(flowing && now - dueSince_ >= kAcknowledgementWait)) return {};
  std::vector<uint16_t> streams;
  for (auto& [stream, attempts] : waiting_) {
    streams.push_back(stream);
    outstanding_[stream] = attempts + 1;
  }
  waiting_.clear();
  return streams;
}

std::vector<uint16_t> StreamResetQueue::settle(const std::vector<uint16_t>& streams, bool refused,
                                               Clock::time_point now) {
  std::vector<uint16_t> givenUp;
  for (const uint16_t stream : streams) {
    const auto it = outstanding_.find(stream);
    if (it == outstanding_.end()) continue;
    const int attempts = it->second;
    outstanding_.erase(it);
    if (!refused) continue;
    if (attempts >= kMaxAttempts) {
      givenUp.push_back(stream);
    } else if (waiting_.count(stream) == 0) {
      waiting_.emplace(stream, attempts);
    }
  }
  // Streams that waited behind the request could not go before now.
  if (outstanding_.empty() && !waiting_.empty()) dueSince_ = now;
  return givenUp;
}

}  // namespace ombrelia::datachannel
