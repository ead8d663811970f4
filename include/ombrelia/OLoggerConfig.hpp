#pragma once
// Any thread: the active level is atomic, set by the host and read on every log call.

#include <atomic>

#include <ombrelia/Export.hpp>
#include <ombrelia/OLogLevel.hpp>

namespace ombrelia {

class OMBRELIA_API OLoggerConfig {
 public:
  static OLoggerConfig& shared();

  OLogLevel activeLogLevel() const { return activeLogLevel_.load(std::memory_order_relaxed); }
  void setActiveLogLevel(OLogLevel level) {
    activeLogLevel_.store(level, std::memory_order_relaxed);
  }
  bool isModuleEnabled(OLogModule module) const;

 private:
  OLoggerConfig() = default;
  std::atomic<OLogLevel> activeLogLevel_{OLogLevel::none};
};

}  // namespace ombrelia
