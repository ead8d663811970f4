#pragma once
// Any thread: plain values.

#include <optional>
#include <string_view>

#include "playlist/tags/StringInitializable.hpp"

namespace ombrelia {

enum class BoolTagType { yes, no };

std::string_view rawValue(BoolTagType value);

// Built from the exact raw value ("YES" or "NO"), case-sensitive.
template <>
struct StringInitializable<BoolTagType> {
  static constexpr std::string_view typeName = "BoolTagType";
  static std::optional<BoolTagType> make(std::string_view text) {
    if (text == "YES") return BoolTagType::yes;
    if (text == "NO") return BoolTagType::no;
    return std::nullopt;
  }
};

}  // namespace ombrelia
