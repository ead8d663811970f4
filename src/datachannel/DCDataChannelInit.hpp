#pragma once
// Any thread: a plain value.

#include <cstdint>
#include <optional>
#include <string>

namespace ombrelia::datachannel {

// Channel options; the defaults (no options) give a reliable, ordered channel.
struct DCDataChannelInit {
  bool ordered = true;
  // At most one of the two partial-reliability limits.
  std::optional<uint16_t> maxRetransmits;
  std::optional<uint16_t> maxPacketLifeTime;  // milliseconds
  std::string protocol;
};

}  // namespace ombrelia::datachannel
