#pragma once
// Any thread: a plain value.

#include <cstdint>
#include <string>

namespace ombrelia {

// Why ProxyManager::startServer() left the local proxy not listening.
struct ProxyStartError {
  enum class Cause {
    // Another program, or another ProxyManager of this process, listens on the port.
    portInUse,
    // The system refuses this process the port.
    permissionDenied,
    // cleanup() ran: the manager has no proxy left to start.
    cleanedUp,
    // Any other failure, told in `description`.
    other,
  };

  Cause cause = Cause::other;
  // The port asked for (0: one the system was to choose).
  uint16_t port = 0;
  // What the system said, such as "Address already in use".
  std::string description;
};

}  // namespace ombrelia
