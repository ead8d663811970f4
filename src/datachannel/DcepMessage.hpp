#pragma once
// Any thread: plain values and stateless codecs.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ombrelia::datachannel {

// The data-channel establishment protocol's two messages (DATA_CHANNEL_OPEN and
// DATA_CHANNEL_ACK), carried on the channel's own stream with payload protocol identifier 50.
struct DcepMessage {
  enum class Kind { open, ack };

  // Channel types of DATA_CHANNEL_OPEN: the high bit means unordered.
  static constexpr uint8_t kReliable = 0x00;
  static constexpr uint8_t kPartialReliableRexmit = 0x01;
  static constexpr uint8_t kPartialReliableTimed = 0x02;
  static constexpr uint8_t kUnorderedBit = 0x80;

  // Payload protocol identifiers of the frames on a channel's stream.
  static constexpr uint32_t kPpidControl = 50;
  static constexpr uint32_t kPpidString = 51;
  static constexpr uint32_t kPpidBinaryPartial = 52;  // deprecated, still sent by old stacks
  static constexpr uint32_t kPpidBinary = 53;
  static constexpr uint32_t kPpidStringPartial = 54;  // deprecated, still sent by old stacks
  static constexpr uint32_t kPpidStringEmpty = 56;
  static constexpr uint32_t kPpidBinaryEmpty = 57;

  Kind kind = Kind::open;
  uint8_t channelType = kReliable;
  uint16_t priority = 0;
  uint32_t reliabilityParameter = 0;
  std::string label;
  std::string protocol;

  bool ordered() const { return (channelType & kUnorderedBit) == 0; }

  std::vector<uint8_t> encode() const;
  // None for anything that is not a well-formed message of a known kind.
  static std::optional<DcepMessage> decode(const uint8_t* data, size_t size);
};

}  // namespace ombrelia::datachannel
