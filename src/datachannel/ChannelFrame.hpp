#pragma once
// Any thread: stateless.

#include <cstdint>
#include <ombrelia/Data.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ombrelia::datachannel {

// A channel's text or binary frame and its SCTP payload protocol identifier.
class ChannelFrame {
 public:
  using Frame = std::variant<std::string, Data>;

  ChannelFrame() = delete;

  // None for identifiers that carry no frame (control messages, deprecated partial kinds,
  // unknown ones).
  static std::optional<Frame> decode(uint32_t ppid, std::vector<uint8_t> payload);
};

}  // namespace ombrelia::datachannel
