#pragma once
// Any thread: stateless.

#include <cstdint>
#include <optional>
#include <string_view>

namespace ombrelia {

// Strict text-to-value conversions for tag values. Specialised for the value types of tags:
// `int64_t` ("Int"), `double` ("Double") and the tag enumerations. Each gives no value unless the
// whole text converts: no spaces around the number, no trailing characters, nothing out of range.
template <typename T>
struct StringInitializable;

template <>
struct StringInitializable<int64_t> {
  static constexpr std::string_view typeName = "Int";
  // An optional "+" or "-", then decimal digits; the value must fit in 64 bits.
  static std::optional<int64_t> make(std::string_view text);
};

template <>
struct StringInitializable<double> {
  static constexpr std::string_view typeName = "Double";
  // An optional sign, digits with an optional fraction (or a fraction alone), and an optional
  // exponent. Infinity, not-a-number, hexadecimal forms and values out of range are refused.
  static std::optional<double> make(std::string_view text);
};

}  // namespace ombrelia
