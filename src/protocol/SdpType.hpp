#pragma once
// Any thread: plain values.

#include <optional>
#include <string_view>

namespace ombrelia {

// The type of a session description. The raw value of prAnswer keeps its capital A, as it
// travels between peers.
enum class SdpType { offer, prAnswer, answer, rollback };

std::string_view rawValue(SdpType type);
// Exact, case-sensitive match of a raw value; "pranswer" is no SdpType.
std::optional<SdpType> makeSdpType(std::string_view rawValue);

}  // namespace ombrelia
