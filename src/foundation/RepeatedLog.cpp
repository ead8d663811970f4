#include "foundation/RepeatedLog.hpp"

#include <ombrelia/OmbreliaLogger.hpp>

namespace ombrelia {
namespace {

std::string_view labelOf(OLogLevel level) {
  switch (level) {
    case OLogLevel::error:
      return "Error";
    case OLogLevel::info:
      return "Info";
    case OLogLevel::debug:
      return "Debug";
    case OLogLevel::trace:
    case OLogLevel::none:
      break;
  }
  return "Trace";
}

}  // namespace

RepeatedLog& RepeatedLog::shared() {
  // Never destroyed: a peer's message may still be answered on a worker thread while the
  // process exits, and a table destroyed under it would be read after it was freed.
  static RepeatedLog* const log = new RepeatedLog();
  return *log;
}

bool RepeatedLog::log(std::string_view cause, uintptr_t party,
                      const std::function<std::string()>& message, OLogModule module,
                      OLogLevel level) {
  if (!OmbreliaLogger::isEnabled(level, module)) return false;
  const auto now = clock_();
  uint64_t repeats = 0;
  {
    std::lock_guard lock(mutex_);
    auto key = std::make_pair(std::string(cause), party);
    auto it = entries_.find(key);
    if (it == entries_.end() && entries_.size() >= kMaxTracked) {
      // Entries told long ago with nothing counted since have nothing left to summarise.
      std::erase_if(entries_, [&](const auto& e) {
        return e.second.repeats == 0 && now - e.second.toldAt >= kSummaryInterval;
      });
      if (entries_.size() >= kMaxTracked) {
        key.second = kOtherParties;
        it = entries_.find(key);
      }
    }
    if (it == entries_.end()) {
      entries_.emplace(std::move(key), Entry{now, 0});
    } else if (now - it->second.toldAt >= kSummaryInterval) {
      repeats = it->second.repeats;
      it->second = Entry{now, 0};
    } else {
      ++it->second.repeats;
      return false;
    }
  }
  std::string line = message();
  if (repeats > 0)
    line += " (and " + std::to_string(repeats) + " more like it in the last " +
            std::to_string(kSummaryInterval.count()) + " s or more)";
  OmbreliaLogger::log(line, module, level, labelOf(level));
  return true;
}

bool RepeatedLog::logEachAtDebug(std::string_view cause, uintptr_t party,
                                 const std::function<std::string()>& message, OLogModule module,
                                 OLogLevel level) {
  if (log(cause, party, message, module, level)) return true;
  if (OmbreliaLogger::isEnabled(OLogLevel::debug, module))
    OmbreliaLogger::log(message(), module, OLogLevel::debug, labelOf(OLogLevel::debug));
  return false;
}

size_t RepeatedLog::tracked() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace ombrelia
