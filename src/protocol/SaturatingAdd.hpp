#pragma once
// Any thread: a pure function.

#include <cstdint>
#include <limits>

namespace ombrelia {

// Counters never wrap: a sum past the signed 64-bit range stays at its bound, so an absurd
// count cannot stop the process or turn a total negative.
inline int64_t saturatingAdd(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return sum;
}

}  // namespace ombrelia
