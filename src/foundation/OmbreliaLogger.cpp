#include <ombrelia/OmbreliaLogger.hpp>

#include <string>

#include <ombrelia/OLoggerConfig.hpp>

#include "platform/StandardOutput.hpp"

namespace ombrelia {
namespace {

// Messages carry text that peers, the tracker and origins chose (channel labels, signalling
// texts, URLs): a line break or a terminal escape in it would forge log lines or rewrite the
// reader's screen. So every control character is written as an escape, and each message stays
// one line. Nothing logs a message of several lines on purpose.
bool isControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

// UTF-8 of the C1 controls (U+0080 to U+009F), NEL among them, which some readers take as a
// line break.
bool isC1Control(std::string_view text, size_t i) {
  return static_cast<unsigned char>(text[i]) == 0xC2 && i + 1 < text.size() &&
         static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
         static_cast<unsigned char>(text[i + 1]) <= 0x9F;
}

void appendEscaped(std::string& line, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t plainFrom = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x7F && byte >= 0x20) continue;
    const bool c1 = isC1Control(text, i);
    if (!isControl(byte) && !c1) continue;
    line.append(text.substr(plainFrom, i - plainFrom));
    const auto code = c1 ? static_cast<unsigned char>(text[++i]) : byte;
    line.append(c1 ? "\\u00" : "\\x").push_back(kHex[code >> 4]);
    line.push_back(kHex[code & 0xF]);
    plainFrom = i + 1;
  }
  line.append(text.substr(plainFrom));
}

}  // namespace

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
  appendEscaped(line, message);
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
