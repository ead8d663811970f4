#include "support/ResidentMemory.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace ombrelia::test {

std::vector<std::string> viewerEnvironment() {
#if defined(__SANITIZE_ADDRESS__)
  const char* options = std::getenv("ASAN_OPTIONS");
  return {std::string("ASAN_OPTIONS=") + (options ? options : "") + ":quarantine_size_mb=16"};
#else
  return {};
#endif
}

size_t residentGrowth(pid_t pid, const std::function<void()>& work) {
  const auto figure = [pid](const std::string& field) -> size_t {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with(field + ":")) return std::stoull(line.substr(field.size() + 1)) * 1024;
    }
    return 0;
  };
  // "5" sets the peak back to what is resident now.
  std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
  const size_t before = figure("VmRSS");
  work();
  const size_t peak = figure("VmHWM");
  return peak > before ? peak - before : 0;
}

double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The command name, in parentheses, may hold spaces: fields are counted after its end.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int n = 3; fields >> field; ++n) {
    if (n == 14) user = std::stoull(field);
    if (n == 15) {
      system = std::stoull(field);
      break;
    }
  }
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace ombrelia::test
