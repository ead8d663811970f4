#pragma once
// Any thread: one lock guards the table; no line is written while it is held.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include <ombrelia/OLogLevel.hpp>
#include <ombrelia/OLogModule.hpp>

namespace ombrelia {

// Lines a remote party can make the library write again and again (a peer that never reads
// makes every send to it fail): the first of a cause for one party is written, the repeats are
// counted, and a summary of them goes out with the next one at most once per interval. So what
// a stranger can make the library write stays a few lines a minute, whatever it sends.
class RepeatedLog {
 public:
  using Clock = std::chrono::steady_clock;
  // One line per cause and party in this long: the first tells what happened, and a reader
  // loses nothing by seeing the count of the rest once a minute.
  static constexpr std::chrono::seconds kSummaryInterval{60};
  // Causes and parties followed at once. A party is a connection, a few dozen at a time; past
  // this, a cause's new parties share one entry, so a stream of parties each failing once is held
  // to the same rate as one party, and the table to a few tens of kilobytes.
  static constexpr size_t kMaxTracked = 512;
  // The party all others share once the table is full.
  static constexpr uintptr_t kOtherParties = 0;

  explicit RepeatedLog(std::function<Clock::time_point()> clock = Clock::now)
      : clock_(std::move(clock)) {}
  // The library's own table.
  static RepeatedLog& shared();

  // Writes the line `message` builds, unless the cause was told for that party less than the
  // interval ago: then it is only counted. Nothing is built or counted when the level and
  // module would not print. True when a line was written.
  bool log(std::string_view cause, uintptr_t party, const std::function<std::string()>& message,
           OLogModule module, OLogLevel level = OLogLevel::error);
  // As log(), for a line whose every occurrence a developer following events at debug level
  // wants: a repeat not told is written at debug level when that level is on. An application at
  // error or info level still gets one line a cause and party, and a count, a minute.
  bool logEachAtDebug(std::string_view cause, uintptr_t party,
                      const std::function<std::string()>& message, OLogModule module,
                      OLogLevel level = OLogLevel::info);
  // Entries followed now.
  size_t tracked() const;

 private:
  struct Entry {
    Clock::time_point toldAt;
    uint64_t repeats = 0;  // since toldAt
  };

  const std::function<Clock::time_point()> clock_;
  mutable std::mutex mutex_;  // guards entries_
  std::map<std::pair<std::string, uintptr_t>, Entry, std::less<>> entries_;
};

}  // namespace ombrelia
