#pragma once
// Any thread: the scale is read once, then only read.

#include <chrono>
#include <cstdint>

namespace ombrelia::test {

// How many times longer than in a release build a test waits for what it expects to happen:
// the sanitizers' slowdown (kSanitizerSlowdown, the suite's one scale for them), times
// OMBRELIA_TEST_TIME_SCALE when the environment sets it (a number from 1 to kMaxExtraScale, for
// a machine loaded past what CI runs beside). Read once, at the first wait.
double waitScale();

// A ceiling on waiting for something a test expects: sized for a sanitizer build on a loaded
// two-core machine, and returned as soon as it happens, so a longer ceiling costs nothing when
// all goes well. Not for a quiet period (a wait that proves something does NOT happen, whose
// length is tied to the library's own timers), nor for a wait that proves something is prompt:
// those keep their length in every build.
template <typename Rep, typename Period>
std::chrono::milliseconds scaledWait(std::chrono::duration<Rep, Period> wait) {
  const double ms = std::chrono::duration<double, std::milli>(wait).count() * waitScale();
  return std::chrono::milliseconds(static_cast<int64_t>(ms));
}

}  // namespace ombrelia::test
