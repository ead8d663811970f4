#include "support/WaitScale.hpp"

#include <cstdlib>
#include <iostream>

#include "support/CpuTime.hpp"

namespace ombrelia::test {
namespace {

// A larger factor would let a hung wait outlast the test's own timeout by far; a machine that
// needs more should run fewer tests at once.
constexpr double kMaxExtraScale = 10;

double extraScale() {
  const char* text = std::getenv("OMBRELIA_TEST_TIME_SCALE");
  if (text == nullptr || *text == '\0') return 1;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= 1 && value <= kMaxExtraScale)) {
    std::cerr << "OMBRELIA_TEST_TIME_SCALE=" << text << " ignored: a number from 1 to "
              << kMaxExtraScale << " is expected\n";
    return 1;
  }
  return value;
}

}  // namespace

double waitScale() {
  static const double scale = kSanitizerSlowdown * extraScale();
  return scale;
}

}  // namespace ombrelia::test
