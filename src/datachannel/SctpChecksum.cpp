#include "datachannel/SctpChecksum.hpp"

#include <usrsctp.h>

#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace ombrelia::datachannel {
namespace {

// Source port, destination port and verification tag come before the checksum field.
constexpr size_t kChecksumOffset = 8;

#if defined(__x86_64__)
// The SSE4.2 instruction computes exactly CRC32c (the Castagnoli polynomial, reflected).
__attribute__((target("sse4.2"))) uint32_t crc32cInstruction(const uint8_t* data, size_t size) {
  uint64_t crc = 0xFFFFFFFFu;
  for (; size >= sizeof(uint64_t); data += sizeof(uint64_t), size -= sizeof(uint64_t)) {
    uint64_t word;
    std::memcpy(&word, data, sizeof word);
    crc = _mm_crc32_u64(crc, word);
  }
  auto narrow = static_cast<uint32_t>(crc);
  for (; size > 0; ++data, --size) narrow = _mm_crc32_u8(narrow, *data);
  // On this little-endian processor the finished value is already in the field's byte order.
  return ~narrow;
}

bool hasCrc32cInstruction() {
  static const bool has = __builtin_cpu_supports("sse4.2");
  return has;
}
#endif

}  // namespace

uint32_t SctpChecksum::compute(const uint8_t* packet, size_t size) {
#if defined(__x86_64__)
  if (hasCrc32cInstruction()) return crc32cInstruction(packet, size);
#endif
  return usrsctp_crc32c(const_cast<uint8_t*>(packet), size);
}

void SctpChecksum::stamp(uint8_t* packet, size_t size) {
  if (size < SctpChecksum::kCommonHeaderBytes) return;
  const uint32_t checksum = compute(packet, size);
  std::memcpy(packet + kChecksumOffset, &checksum, sizeof checksum);
}

}  // namespace ombrelia::datachannel
