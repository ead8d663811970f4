#pragma once
// Any thread: the observers record on the posting thread; the test reads and waits on its own.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/NotificationCenter.hpp"

namespace ombrelia::test {

// Records, in posting order, every analytics envelope posted on the default notification centre,
// as the JSON text the signalling client would send.
class AnalyticsReportLog {
 public:
  struct Entry {
    std::string notification;  // "AnalyticsInitMessage" or "AnalyticsMessage"
    std::string json;          // empty when the envelope could not be written
  };

  AnalyticsReportLog();

  std::vector<Entry> entries() const;
  // True once at least `count` envelopes were posted within the bound.
  bool waitFor(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10));

 private:
  void record(std::string notification, std::string json);

  mutable std::mutex mutex_;  // guards entries_
  std::condition_variable changed_;
  std::vector<Entry> entries_;
  platform::ObserverToken initToken_;
  platform::ObserverToken messageToken_;
};

}  // namespace ombrelia::test
