#pragma once
// Any thread.

#include <string_view>

namespace ombrelia::platform {

// Lines that the library prints itself. Each line goes out in one write on descriptor 1, so
// lines from different threads never interleave.
class StandardOutput {
 public:
  static void writeLine(std::string_view line);
  // The same on standard error, for fatal messages.
  static void writeErrorLine(std::string_view line);
};

}  // namespace ombrelia::platform
