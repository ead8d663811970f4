#pragma once
// Any thread.

#include <string_view>

namespace ombrelia::platform {

// Lines that the library prints itself. Each line goes out whole on descriptor 1 (one writer at
// a time, however many writes a long line takes), so lines from different threads never
// interleave.
class StandardOutput {
 public:
  static void writeLine(std::string_view line);
  // The same on standard error, for fatal messages.
  static void writeErrorLine(std::string_view line);
};

}  // namespace ombrelia::platform
