#pragma once
// Any thread: plain values.

#include <string>

namespace ombrelia::datachannel {

// The connection state the framework reports. The numbering is the framework's own, fixed for
// callers that store or compare raw values, and never the ICE agent's numbering.
enum class DCIceState : int {
  newState = 0,
  connecting = 1,
  connected = 2,
  disconnected = 3,
  failed = 4,
  closed = 5,
};

inline int rawValue(DCIceState state) { return static_cast<int>(state); }

// The state's textual form in log lines: its raw value.
inline std::string description(DCIceState state) { return std::to_string(rawValue(state)); }

// Disconnected, failed and closed all mean the connection is lost.
inline bool isLost(DCIceState state) { return rawValue(state) >= 3; }

}  // namespace ombrelia::datachannel
