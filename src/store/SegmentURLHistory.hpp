#pragma once
// Any thread: every operation is atomic under the history's own lock.

#include <deque>
#include <mutex>
#include <optional>

#include <ombrelia/Url.hpp>

#include "protocol/Decision.hpp"

namespace ombrelia {

// The process-wide record of the segment URLs that went to the decision, with the source that
// finally delivered each: repeated requests are answered from the store, and the analytics
// attribute a stall to the first source that completed.
class SegmentURLHistory {
 public:
  // Past this many entries the oldest one goes.
  static constexpr size_t kMaxEntries = 100;

  struct Entry {
    Url segmentURL;
    Decision started;
    std::optional<Decision> completed;
  };

  static SegmentURLHistory& shared();

  bool contains(const Url& segmentURL) const;
  void append(const Url& segmentURL, Decision started);
  // Sets `completed` on the oldest entry for the URL, if there is one.
  void markCompleted(const Url& segmentURL, Decision completed);
  // The `completed` source of the oldest entry that has one.
  std::optional<Decision> firstCompletedDecision() const;
  size_t size() const;

 private:
  SegmentURLHistory() = default;
  mutable std::mutex mutex_;
  std::deque<Entry> entries_;
};

}  // namespace ombrelia
