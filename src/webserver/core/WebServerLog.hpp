#pragma once
// Any thread.

#include <cstdarg>
#include <functional>
#include <string>

namespace ombrelia {

// The server's levels: 0 "DEBUG", 1 "VERBOSE", 2 "INFO", 3 "WARNING", 4 "ERROR".
enum WebServerLoggingLevel : int {
  kWebServerLogDebug = 0,
  kWebServerLogVerbose = 1,
  kWebServerLogInfo = 2,
  kWebServerLogWarning = 3,
  kWebServerLogError = 4,
};

// The class name that the server's lifecycle messages name.
inline constexpr const char* kWebServerClassName = "WebServer";

// The process-wide level below which server messages are not produced; starts at 0.
int WebServerLogLevel();
void WebServerSetLogLevel(int level);

// A process-wide callback that receives every produced message instead of the logger; an
// empty function removes it.
using WebServerBuiltInLogger = std::function<void(int level, const std::string &message)>;
void WebServerSetBuiltInLogger(WebServerBuiltInLogger logger);

// True when a message of this level would go anywhere: its level passes, and either a
// built-in logger is installed or standard error is a terminal (tested once per process).
// Checked before a message is formatted, so a dropped message costs no formatting.
bool WebServerShouldLog(int level);

// The server's one log sink: formats the message and hands it to the built-in logger, or as
// "[LEVEL] text" to the library logger's WebServer trace channel.
void WebServerLogMessage(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void WebServerLogMessageV(int level, const char* format, va_list arguments)
    __attribute__((format(printf, 2, 0)));

} // namespace ombrelia
