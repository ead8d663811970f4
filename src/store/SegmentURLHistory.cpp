#include "store/SegmentURLHistory.hpp"

namespace ombrelia {

SegmentURLHistory& SegmentURLHistory::shared() {
  static SegmentURLHistory* history = new SegmentURLHistory();  // lives until the process ends
  return *history;
}

bool SegmentURLHistory::contains(const Url& segmentURL) const {
  std::lock_guard lock(mutex_);
  for (const auto& entry : entries_) {
    if (entry.segmentURL == segmentURL)
      return true;
  }
  return false;
}

void SegmentURLHistory::append(const Url& segmentURL, Decision started) {
  std::lock_guard lock(mutex_);
  entries_.push_back({segmentURL, started, std::nullopt});
  while (entries_.size() > kMaxEntries)
    entries_.pop_front();
}

void SegmentURLHistory::markCompleted(const Url& segmentURL, Decision completed) {
  std::lock_guard lock(mutex_);
  for (auto& entry : entries_) {
    if (entry.segmentURL == segmentURL) {
      entry.completed = completed;
      return;
    }
  }
}

std::optional<Decision> SegmentURLHistory::firstCompletedDecision() const {
  std::lock_guard lock(mutex_);
  for (const auto& entry : entries_) {
    if (entry.completed)
      return entry.completed;
  }
  return std::nullopt;
}

size_t SegmentURLHistory::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace ombrelia
