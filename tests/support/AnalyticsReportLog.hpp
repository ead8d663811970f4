#pragma once
// Any thread: the observers record on the posting thread; the test reads and waits on its own.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/NotificationCenter.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {

// Records, in posting order, every analytics envelope posted on the default notification centre,
// as the JSON text the signalling client would send. By default it takes each init record as a
// connected tracker connection would; told not to, it keeps the last one for takeLastInit().
class AnalyticsReportLog {
 public:
  struct Entry {
    std::string notification;  // "AnalyticsInitMessage" or "AnalyticsMessage"
    std::string json;          // empty when the envelope could not be written
  };

  AnalyticsReportLog();

  // Whether init records are taken as they are posted (the default).
  void setTakesInit(bool takesInit);
  // Takes the last init record posted, as the tracker connection does once it has written it.
  void takeLastInit();

  std::vector<Entry> entries() const;
  // True once at least `count` envelopes were posted within the bound.
  bool waitFor(size_t count,
               std::chrono::milliseconds bound = scaledWait(std::chrono::seconds(10)));

 private:
  void record(std::string notification, std::string json);

  mutable std::mutex mutex_;  // guards entries_
  std::condition_variable changed_;
  std::vector<Entry> entries_;
  bool takesInit_ = true;
  std::function<void()> lastInitTaken_;
  platform::ObserverToken initToken_;
  platform::ObserverToken messageToken_;
};

}  // namespace ombrelia::test
