#pragma once
// Any thread: every call reads the host's interfaces afresh; the test override is locked.

#include <cstdint>
#include <optional>

namespace ombrelia::platform {

// Reachability flags of the network path, in the bit values the analytics classify by. They are
// derived from the host's own interfaces (no probe ever leaves the machine): an interface that is
// up and running, not loopback and holding an address makes the path reachable, and when such an
// interface is a mobile-broadband one the path is also flagged as cellular.
class Reachability {
 public:
  static constexpr uint32_t kReachable = 0x2;
  static constexpr uint32_t kIsWWAN = 0x40000;

  // The current flags; an empty set when the interfaces cannot be read.
  static uint32_t flags();
  // Test hook: flags() answers this set until the override is cleared with none.
  static void overrideFlags(std::optional<uint32_t> flags);
};

}  // namespace ombrelia::platform
