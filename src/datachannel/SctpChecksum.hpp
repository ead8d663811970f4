#pragma once
// Any thread: stateless.

#include <cstddef>
#include <cstdint>

namespace ombrelia::datachannel {

// The CRC32c that closes the common header of every SCTP packet. usrsctp computes it with
// tables, byte by byte, which cost a tenth of the loop thread under load; the processor's own
// instruction does the same work many times faster where it exists.
class SctpChecksum {
 public:
  SctpChecksum() = delete;

  // Source port, destination port, verification tag and checksum: what every packet starts with.
  static constexpr size_t kCommonHeaderBytes = 12;

  // The checksum of the packet as it would travel with a zero checksum field, in the byte order
  // of usrsctp's own `usrsctp_crc32c`: stored as is, it is the field.
  static uint32_t compute(const uint8_t* packet, size_t size);
  // Writes the checksum into a whole packet, whose checksum field must read zero.
  static void stamp(uint8_t* packet, size_t size);
};

}  // namespace ombrelia::datachannel
