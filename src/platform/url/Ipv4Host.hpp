#pragma once
// Any thread: stateless.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ombrelia {

// IPv4 addresses in URL hosts as browsers read them: besides dotted decimal, fewer than four
// parts ("127.1"), hexadecimal ("0x7f") and octal ("0177") parts, and a trailing dot. A host
// whose last label is a number is an address or nothing, never a name ("1.2.3.256" is refused).
class Ipv4Host {
 public:
  Ipv4Host() = delete;

  // Whether the host must be read as an address: its last label (a trailing dot aside) is a
  // decimal or "0x" number.
  static bool endsInANumber(std::string_view host);
  // The address; absent when a part is no number, there are more than four, or one is too big.
  static std::optional<uint32_t> parse(std::string_view host);
  // Dotted decimal.
  static std::string serialize(uint32_t address);

 private:
  // One part in its radix; absent when it holds a character the radix lacks. Values past
  // 2^32 are all too big for any part, so they stop growing there.
  static std::optional<uint64_t> parseNumber(std::string_view part);
};

}  // namespace ombrelia
