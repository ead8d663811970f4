#include "support/ResidentMemory.hpp"

#include <cstdlib>
#include <fstream>
#include <thread>

namespace ombrelia::test {
namespace {

// A figure of a process's memory from /proc ("VmRSS", "VmHWM"), in bytes.
size_t memoryFigure(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) return std::stoull(line.substr(field.size() + 1)) * 1024;
  }
  return 0;
}

}  // namespace

std::vector<std::string> viewerEnvironment() {
#if defined(__SANITIZE_ADDRESS__)
  const char* options = std::getenv("ASAN_OPTIONS");
  return {std::string("ASAN_OPTIONS=") + (options ? options : "") +
          ":quarantine_size_mb=" + std::to_string(kQuarantineBytes >> 20)};
#else
  return {};
#endif
}

Growth residentGrowthOf(pid_t pid, const std::function<void()>& work) {
  // "5" sets the peak back to what is resident now.
  std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
  const size_t before = memoryFigure(pid, "VmRSS");
  work();
  const size_t peak = memoryFigure(pid, "VmHWM");
  const size_t after = memoryFigure(pid, "VmRSS");
  return {peak > before ? peak - before : 0, after > before ? after - before : 0};
}

size_t residentGrowth(pid_t pid, const std::function<void()>& work) {
  return residentGrowthOf(pid, work).peak;
}

size_t residentBytes(pid_t pid) { return memoryFigure(pid, "VmRSS"); }

size_t residentSettlesBelow(pid_t pid, size_t bytes, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  size_t now = residentBytes(pid);
  while (now >= bytes && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    now = residentBytes(pid);
  }
  return now;
}

}  // namespace ombrelia::test
