#pragma once
// Any thread: stateless helpers shared by the parts of the peer engine.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <ombrelia/OmbreliaLogger.hpp>
#include <ombrelia/SegmentInfo.hpp>

#include "peers/WebRTCClient.hpp"
#include "platform/MonotonicClock.hpp"

namespace ombrelia {

// The clock, log and channel helpers every part of the peer engine uses, kept in one place so
// the parts measure ages on the same clock and log the same way.
struct PeerEngineSupport {
  PeerEngineSupport() = delete;

  // Ages are measured on the library's monotonic clock, so that tests can drive them.
  static double now() {
    return std::chrono::duration<double>(platform::MonotonicClock::now().time_since_epoch())
        .count();
  }

  static double wallClockNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  // The message is made only when the line would be written.
  static void debug(OLogModule module, const std::function<std::string()>& message) {
    if (OmbreliaLogger::isEnabled(OLogLevel::debug, module))
      OmbreliaLogger::debug(message(), module);
  }

  static void info(OLogModule module, const std::function<std::string()>& message) {
    if (OmbreliaLogger::isEnabled(OLogLevel::info, module)) OmbreliaLogger::info(message(), module);
  }

  static std::string segmentText(const SegmentInfo& info) {
    return std::to_string(info.segmentNumber()) + ", type: " + std::string(rawValue(info.type())) +
           ", quality: " + std::to_string(info.targetQuality());
  }

  static bool connected(const std::shared_ptr<WebRTCClient>& client) {
    return client && client->isConnected();
  }
};

}  // namespace ombrelia
