#include "support/WhatwgUrlOracle.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "support/ChildProcess.hpp"

namespace ombrelia::test {
namespace {

constexpr const char* kNode = "/usr/bin/node";

// The script reads hexadecimal, so that any byte (a newline, a space) goes through as it is.
std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * bytes.size());
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0xF]);
  }
  return out;
}

}  // namespace

std::vector<std::optional<std::string>> WhatwgUrlOracle::resolve(const std::vector<Case>& cases) {
  if (!std::filesystem::exists(kNode)) {
    ADD_FAILURE() << "node is not installed (run scripts/install-deps): it is the URL oracle";
    return {};
  }
  const auto file = std::filesystem::temp_directory_path() /
                    ("url-oracle-" + std::to_string(::getpid()) + ".txt");
  {
    std::ofstream out(file);
    for (const Case& c : cases) out << hex(c.base) << ' ' << hex(c.reference) << '\n';
  }
  const auto result = ChildProcess::run(
      {kNode, std::string(OMBRELIA_SOURCE_DIR) + "/tests/support/whatwg-url-oracle.js",
       file.string()});
  std::filesystem::remove(file);
  std::vector<std::optional<std::string>> answers;
  size_t start = 0;
  while (start < result.output.size()) {
    const size_t end = result.output.find('\n', start);
    const std::string line = result.output.substr(start, end - start);
    answers.push_back(line.starts_with("=") ? std::optional(line.substr(1)) : std::nullopt);
    start = end == std::string::npos ? result.output.size() : end + 1;
  }
  if (answers.size() != cases.size()) {
    ADD_FAILURE() << "node gave " << answers.size() << " answers for " << cases.size() << " cases";
    return {};
  }
  return answers;
}

}  // namespace ombrelia::test
