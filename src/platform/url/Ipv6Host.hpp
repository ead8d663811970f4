#pragma once
// Any thread: stateless.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ombrelia {

// IPv6 addresses in URL hosts (the text between the brackets) as browsers read and write them:
// "::" for one run of zero pieces, an IPv4 address in the last 32 bits, and in writing the
// longest run of zeros (the first of equals) compressed, lower-case hexadecimal, no IPv4 form.
class Ipv6Host {
 public:
  Ipv6Host() = delete;

  using Pieces = std::array<uint16_t, 8>;

  // Absent when the text is not an address.
  static std::optional<Pieces> parse(std::string_view text);
  // Without the brackets.
  static std::string serialize(const Pieces& pieces);
};

}  // namespace ombrelia
