#include <gtest/gtest.h>
#include <usrsctp.h>

#include <cstring>
#include <random>
#include <vector>

#include "datachannel/SctpChecksum.hpp"

namespace ombrelia::datachannel {
namespace {

TEST(SctpChecksumTest, MatchesTheStandardCheckValueAndUsrsctpOnEveryLength) {
  const char* check = "123456789";
  EXPECT_EQ(SctpChecksum::compute(reinterpret_cast<const uint8_t*>(check), 9), 0xE3069283u);
  std::mt19937 random(7);
  std::vector<uint8_t> bytes(1300);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
  // Every length crosses the word loop and the byte tail differently.
  for (size_t size = 0; size <= bytes.size(); ++size) {
    ASSERT_EQ(SctpChecksum::compute(bytes.data(), size), usrsctp_crc32c(bytes.data(), size))
        << size << " bytes";
  }
}

TEST(SctpChecksumTest, StampsTheFieldSoThePacketVerifiesAndLeavesRuntsAlone) {
  std::vector<uint8_t> packet(1160);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i * 13);
  std::memset(packet.data() + 8, 0, 4);
  std::vector<uint8_t> expected = packet;
  const uint32_t checksum = usrsctp_crc32c(expected.data(), expected.size());
  std::memcpy(expected.data() + 8, &checksum, 4);
  SctpChecksum::stamp(packet.data(), packet.size());
  EXPECT_EQ(packet, expected);

  std::vector<uint8_t> runt(11, 0);
  SctpChecksum::stamp(runt.data(), runt.size());
  EXPECT_EQ(runt, std::vector<uint8_t>(11, 0));
}

}  // namespace
}  // namespace ombrelia::datachannel
