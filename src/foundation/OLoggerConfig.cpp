#include <ombrelia/OLoggerConfig.hpp>

#include "foundation/LogModuleMask.hpp"

namespace ombrelia {

OLoggerConfig& OLoggerConfig::shared() {
  static OLoggerConfig* config = new OLoggerConfig();  // lives until the process ends
  return *config;
}

bool OLoggerConfig::isModuleEnabled(OLogModule module) const {
  return (enabledModuleMask(activeLogLevel()) & moduleBit(module)) != 0;
}

}  // namespace ombrelia
