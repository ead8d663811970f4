#pragma once
// Any thread: a plain value and a stateless parser.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ombrelia::datachannel {

// The usrsctp notifications a connection acts on, read from the raw notification bytes.
struct SctpNotification {
  enum class Kind { associationUp, associationDown, incomingStreamsReset, senderDry };

  Kind kind = Kind::associationUp;
  std::vector<uint16_t> streams;  // incomingStreamsReset only

  // None for notifications of no interest and for truncated ones.
  static std::optional<SctpNotification> parse(const uint8_t* data, size_t size);
};

}  // namespace ombrelia::datachannel
