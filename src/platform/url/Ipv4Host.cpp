#include "platform/url/Ipv4Host.hpp"

#include <array>

#include "platform/url/UriCharacters.hpp"

namespace ombrelia {
namespace {

// Larger than any part may be (the one part of "4294967295" is the largest): a number that grows
// past it is refused whatever follows, so its digits need not be counted further.
constexpr uint64_t kPastAnyPart = uint64_t{1} << 33;

}  // namespace

std::optional<uint64_t> Ipv4Host::parseNumber(std::string_view part) {
  if (part.empty()) return std::nullopt;
  unsigned radix = 10;
  if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
    part.remove_prefix(2);
    radix = 16;
  } else if (part.size() >= 2 && part[0] == '0') {
    part.remove_prefix(1);
    radix = 8;
  }
  uint64_t value = 0;
  for (char c : part) {
    unsigned digit;
    if (radix == 16 && UriCharacters::isHex(c)) {
      digit = static_cast<unsigned>(UriCharacters::hexValue(c));
    } else if (UriCharacters::isDigit(c) && static_cast<unsigned>(c - '0') < radix) {
      digit = static_cast<unsigned>(c - '0');
    } else {
      return std::nullopt;
    }
    value = value >= kPastAnyPart ? kPastAnyPart : value * radix + digit;
  }
  return value;  // "0x" and "0" alone are zero
}

bool Ipv4Host::endsInANumber(std::string_view host) {
  if (host.size() > 1 && host.ends_with('.')) host.remove_suffix(1);
  const size_t dot = host.rfind('.');
  const std::string_view last = dot == std::string_view::npos ? host : host.substr(dot + 1);
  if (last.empty()) return false;
  bool decimal = true;
  for (char c : last) decimal = decimal && UriCharacters::isDigit(c);
  return decimal || parseNumber(last).has_value();
}

std::optional<uint32_t> Ipv4Host::parse(std::string_view host) {
  // The empty part after a trailing dot does not count, unless it is the only one.
  if (host.size() > 1 && host.ends_with('.')) host.remove_suffix(1);
  // Four parts at most: a fifth refuses the host before any more of it is read.
  std::array<uint64_t, 4> numbers{};
  size_t count = 0;
  for (size_t start = 0;;) {
    const size_t dot = host.find('.', start);
    if (count == numbers.size()) return std::nullopt;
    const auto number =
        parseNumber(host.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (!number) return std::nullopt;
    numbers[count++] = *number;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  const size_t last = count - 1;
  for (size_t i = 0; i < last; ++i) {
    if (numbers[i] > 255) return std::nullopt;
  }
  // The last part fills the bytes the others left: 4 of them alone, 1 after three others.
  if (numbers[last] >= (uint64_t{1} << (8 * (4 - last)))) return std::nullopt;
  uint64_t address = numbers[last];
  for (size_t i = 0; i < last; ++i) address += numbers[i] << (8 * (3 - i));
  return static_cast<uint32_t>(address);
}

std::string Ipv4Host::serialize(uint32_t address) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    out += std::to_string((address >> shift) & 0xFF);
    if (shift > 0) out.push_back('.');
  }
  return out;
}

}  // namespace ombrelia
