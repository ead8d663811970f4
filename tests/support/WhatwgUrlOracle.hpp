#pragma once
// Test thread only: runs node as a child process.

#include <optional>
#include <string>
#include <vector>

namespace ombrelia::test {

// Node.js's own URL class, which follows the WHATWG URL Standard as browsers do: the oracle our
// URL reading is compared with (tests/support/whatwg-url-oracle.js).
class WhatwgUrlOracle {
 public:
  struct Case {
    std::string base;
    std::string reference;
  };

  // For each case, the href of the reference resolved against the base, or absent where the
  // standard refuses it; in the cases' order. Fails the calling test (and answers nothing)
  // when node is missing or answers another number of cases.
  static std::vector<std::optional<std::string>> resolve(const std::vector<Case>& cases);
};

}  // namespace ombrelia::test
