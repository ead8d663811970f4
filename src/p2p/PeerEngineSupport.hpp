#pragma once
// Any thread: stateless helpers shared by the parts of the peer engine.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <ombrelia/OmbreliaLogger.hpp>
#include <ombrelia/SegmentInfo.hpp>

#include "foundation/RepeatedLog.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/MonotonicClock.hpp"
#include "platform/Uuid.hpp"

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

  // A line a peer's messages bring about as often as it sends them (an ask, a stop, a frame):
  // told once per cause and peer, then counted and summarised at most once a minute; each one
  // is written only at debug level.
  static void perPeer(OLogLevel level, OLogModule module, std::string_view cause, const Uuid& peer,
                      const std::function<std::string()>& message) {
    RepeatedLog::shared().logEachAtDebug(cause, std::hash<Uuid>{}(peer), message, module, level);
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
