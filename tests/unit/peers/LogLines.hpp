#pragma once
// Test thread only.

#include <sstream>
#include <string>
#include <vector>

namespace ombrelia::test {

// The lines of a captured output that hold any of `keys`, in order: what a test is about, without
// the lines other modules wrote meanwhile.
inline std::vector<std::string> linesWith(const std::string& out,
                                          const std::vector<std::string>& keys) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    for (const auto& key : keys) {
      if (line.find(key) != std::string::npos) {
        lines.push_back(line);
        break;
      }
    }
  }
  return lines;
}

}  // namespace ombrelia::test
