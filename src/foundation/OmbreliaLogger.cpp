#include <ombrelia/OmbreliaLogger.hpp>

#include <cstdint>
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

// Length of the well-formed UTF-8 sequence starting at i, 0 when the byte starts none (a stray
// continuation byte, an overlong form, a surrogate, past U+10FFFF, or cut short). A byte that
// starts none is escaped: a reader taking the text as Latin-1 or as the C1 set would see a
// control (0x85 is NEL, 0x9B the terminal's escape introducer) where UTF-8 sees nothing.
size_t sequenceLength(std::string_view text, size_t i, uint32_t& code) {
  const auto byte = static_cast<unsigned char>(text[i]);
  size_t length = 0;
  uint32_t least = 0;
  if (byte >= 0xC2 && byte <= 0xDF) {
    length = 2, code = byte & 0x1F, least = 0x80;
  } else if (byte >= 0xE0 && byte <= 0xEF) {
    length = 3, code = byte & 0x0F, least = 0x800;
  } else if (byte >= 0xF0 && byte <= 0xF4) {
    length = 4, code = byte & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// The C1 controls (U+0080 to U+009F), NEL among them, and the line and paragraph separators
// (U+2028, U+2029): some readers take each as a line break.
bool breaksLines(uint32_t code) {
  return (code >= 0x80 && code <= 0x9F) || code == 0x2028 || code == 0x2029;
}

void appendEscaped(std::string& line, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t plainFrom = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x7F && byte >= 0x20) continue;
    uint32_t code = 0;
    size_t length = 0;
    if (byte >= 0x80) {
      length = sequenceLength(text, i, code);
      if (length != 0 && !breaksLines(code)) {
        i += length - 1;
        continue;
      }
    } else if (!isControl(byte)) {
      continue;
    }
    line.append(text.substr(plainFrom, i - plainFrom));
    if (length != 0) {
      // \u and four hex digits, as JSON writes them.
      line.append("\\u");
      for (int shift = 12; shift >= 0; shift -= 4) line.push_back(kHex[(code >> shift) & 0xF]);
      i += length - 1;
    } else {
      line.append("\\x").push_back(kHex[byte >> 4]);
      line.push_back(kHex[byte & 0xF]);
    }
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
  if (!isEnabled(level, module)) return;
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
