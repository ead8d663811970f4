#include "support/ProcessMemory.hpp"

#include <cstdlib>
#include <fstream>

namespace ombrelia::test {
namespace {

size_t figure(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) return std::stoull(line.substr(field.size() + 1)) * 1024;
  }
  return 0;
}

}  // namespace

std::vector<std::string> ProcessMemory::smallQuarantine() {
#if defined(__SANITIZE_ADDRESS__)
  const char* options = std::getenv("ASAN_OPTIONS");
  return {std::string("ASAN_OPTIONS=") + (options ? options : "") +
          ":quarantine_size_mb=" + std::to_string(kQuarantineBytes >> 20)};
#else
  return {};
#endif
}

size_t ProcessMemory::resident(pid_t pid) { return figure(pid, "VmRSS"); }

size_t ProcessMemory::peak(pid_t pid) { return figure(pid, "VmHWM"); }

void ProcessMemory::resetPeak(pid_t pid) {
  // "5" sets the peak back to what is resident now.
  std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
}

}  // namespace ombrelia::test
