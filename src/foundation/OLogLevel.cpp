#include <ombrelia/OLogLevel.hpp>

#include "foundation/LogModuleMask.hpp"

namespace ombrelia {

std::optional<OLogLevel> makeOLogLevel(int raw) {
  if (raw < 0 || raw > 4)
    return std::nullopt;
  return static_cast<OLogLevel>(raw);
}

int rawValue(OLogLevel level) {
  return static_cast<int>(level);
}

std::set<OLogModule> enabledModules(OLogLevel level) {
  std::set<OLogModule> modules;
  const uint32_t mask = enabledModuleMask(level);
  for (OLogModule module : allOLogModules()) {
    if (mask & moduleBit(module))
      modules.insert(module);
  }
  return modules;
}

}  // namespace ombrelia
