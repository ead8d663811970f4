#pragma once
// Any thread: each line is written in one write, so lines never interleave.

#include <string_view>

#include <ombrelia/Export.hpp>
#include <ombrelia/OLogLevel.hpp>
#include <ombrelia/OLogModule.hpp>

namespace ombrelia {

// The library's console logger: "[Ombrelia] [<label>] [<module>] <message>" on standard output,
// printed when the active level is at least the message's level and enables the module.
class OMBRELIA_API OmbreliaLogger {
 public:
  OmbreliaLogger() = delete;

  static void log(std::string_view message, OLogModule module, OLogLevel level,
                  std::string_view type);
  static void error(std::string_view message, OLogModule module);
  static void info(std::string_view message, OLogModule module);
  static void debug(std::string_view message, OLogModule module);
  static void trace(std::string_view message, OLogModule module);
  // The embedded HTTP server's diagnostics, at trace level under the "WebServer" module.
  static void traceWebServer(std::string_view message);

  // True when a message of this level and module would print; lets callers skip building
  // expensive messages.
  static bool isEnabled(OLogLevel level, OLogModule module);
};

}  // namespace ombrelia
