#pragma once
// Any thread: a value type.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ombrelia {

// A 128-bit identifier in the byte order of its text form (RFC 4122). The text form is the
// usual 36 characters, 8-4-4-4-12 hexadecimal digits separated by hyphens.
class Uuid {
 public:
  using Bytes = std::array<uint8_t, 16>;

  Uuid() = default;  // the nil identifier
  explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

  // Accepts the 36-character text with letters in either case; nothing else (no braces, no
  // missing hyphens, no surrounding blanks).
  static std::optional<Uuid> parse(std::string_view text);
  // A random version 4 identifier from the system's secure generator.
  static Uuid random();

  const Bytes& bytes() const { return bytes_; }
  // The platform's text form, upper case.
  std::string uuidString() const;
  std::string lowercaseString() const;

  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;

 private:
  std::string text(const char* digits) const;
  Bytes bytes_{};
};

}  // namespace ombrelia

template <>
struct std::hash<ombrelia::Uuid> {
  size_t operator()(const ombrelia::Uuid& uuid) const noexcept {
    size_t value = 0;
    for (uint8_t byte : uuid.bytes()) value = value * 131 + byte;
    return value;
  }
};
