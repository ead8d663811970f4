#pragma once
// Any thread: plain values.

#include <optional>
#include <string_view>

namespace ombrelia {

// How close a peer is to this viewer; the analytics split peer bytes and delays by it.
enum class PeerType { ip, city, region, country, unknown };

// "ip", "city", "region", "country" or "unknown".
std::string_view rawValue(PeerType type);
// Exact, case-sensitive match of a raw value.
std::optional<PeerType> makePeerType(std::string_view rawValue);

}  // namespace ombrelia
