// Feeds arbitrary bytes to what a peer controls on an SCTP association: channel establishment
// messages, the notifications read from usrsctp, and message parts with their payload
// identifiers. The first byte picks the handler.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "datachannel/ChannelFrame.hpp"
#include "datachannel/DcepMessage.hpp"
#include "datachannel/MessageAssembler.hpp"
#include "datachannel/SctpNotification.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ombrelia::datachannel;
  if (size == 0) return 0;
  const uint8_t selector = data[0] % 3;
  ++data;
  --size;
  if (selector == 0) {
    const auto message = DcepMessage::decode(data, size);
    if (message && message->kind == DcepMessage::Kind::open) {
      const std::vector<uint8_t> encoded = message->encode();
      const auto again = DcepMessage::decode(encoded.data(), encoded.size());
      if (!again || again->label != message->label || again->protocol != message->protocol ||
          again->channelType != message->channelType) {
        __builtin_trap();
      }
    }
  } else if (selector == 1) {
    (void)SctpNotification::parse(data, size);
  } else {
    // Records of [stream, flags, length, bytes...]: flags bit 0 ends the message, bits 1-3
    // pick the payload identifier, bits 4-5 the message number and bit 6 unordered delivery.
    MessageAssembler assembler(256);
    size_t at = 0;
    while (at + 3 <= size) {
      const uint16_t stream = data[at] % 4;
      const bool end = (data[at + 1] & 1) != 0;
      const uint32_t ppid = 50 + ((data[at + 1] >> 1) % 8);
      const MessageAssembler::Key key{stream, (data[at + 1] & 0x40) != 0,
                                      static_cast<uint32_t>((data[at + 1] >> 4) % 4)};
      size_t length = data[at + 2];
      at += 3;
      if (length > size - at) length = size - at;
      std::vector<uint8_t> message;
      if (assembler.add(key, data + at, length, end, message) ==
          MessageAssembler::Outcome::complete) {
        if (message.size() > 256) __builtin_trap();
        (void)ChannelFrame::decode(ppid, std::move(message));
      }
      at += length;
    }
  }
  return 0;
}
