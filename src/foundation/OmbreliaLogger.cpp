#include <ombrelia/OmbreliaLogger.hpp>

#include <string>

#include <ombrelia/OLoggerConfig.hpp>

#include "platform/StandardOutput.hpp"

namespace ombrelia {

bool OmbreliaLogger::isEnabled(OLogLevel level, OLogModule module) {
  const OLoggerConfig& config = OLoggerConfig::shared();
  // The module set is that of the active level, not of the message's level.
  return config.activeLogLevel() >= level && config.isModuleEnabled(module);
}

void OmbreliaLogger::log(std::string_view message, OLogModule module, OLogLevel level,
                         std::string_view type) {
  if (!isEnabled(level, module))
    return;
  std::string line;
  const std::string_view moduleName = rawValue(module);
  line.reserve(16 + type.size() + moduleName.size() + message.size());
  line.append("[Ombrelia] [").append(type).append("] [").append(moduleName).append("] ");
  line.append(message);
  platform::StandardOutput::writeLine(line);
}

void OmbreliaLogger::error(std::string_view message, OLogModule module) {
  log(message, module, OLogLevel::error, "Error");
}
void OmbreliaLogger::info(std::string_view message, OLogModule module) {
  log(message, module, OLogLevel::info, "Info");
}
void OmbreliaLogger::debug(std::string_view message, OLogModule module) {
  log(message, module, OLogLevel::debug, "Debug");
}
void OmbreliaLogger::trace(std::string_view message, OLogModule module) {
  log(message, module, OLogLevel::trace, "Trace");
}
void OmbreliaLogger::traceWebServer(std::string_view message) {
  log(message, OLogModule::webserver, OLogLevel::trace, "Trace");
}

}  // namespace ombrelia
