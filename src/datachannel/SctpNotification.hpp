#pragma once
// Any thread: a plain value and a stateless parser.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ombrelia::datachannel {

// The usrsctp notifications a connection acts on, read from the raw notification bytes.
struct SctpNotification {
  // outgoingStreamsReset: the outcome of this side's request to reset its outgoing streams.
  enum class Kind {
    associationUp,
    associationDown,
    incomingStreamsReset,
    outgoingStreamsReset,
    senderDry
  };

  Kind kind = Kind::associationUp;
  std::vector<uint16_t> streams;  // the two streams resets only
  bool refused = false;           // outgoingStreamsReset: denied or failed, the streams unchanged

  // None for notifications of no interest and for truncated ones.
  static std::optional<SctpNotification> parse(const uint8_t* data, size_t size);
};

}  // namespace ombrelia::datachannel
