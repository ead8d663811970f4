#pragma once
// Any thread: plain values.

#include <string_view>

namespace ombrelia {

// The source chosen for, or delivering, one segment.
enum class Decision { http, p2p };

inline std::string_view rawValue(Decision decision) {
  return decision == Decision::http ? "http" : "p2p";
}

}  // namespace ombrelia
