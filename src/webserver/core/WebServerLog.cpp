#include "webserver/core/WebServerLog.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

#include <ombrelia/OmbreliaLogger.hpp>

namespace ombrelia {
namespace {

std::atomic<int> gLogLevel{kWebServerLogDebug};
std::atomic<bool> gHasBuiltInLogger{false};

std::mutex &loggerMutex() {
  static std::mutex mutex;
  return mutex;
}
// Guarded by loggerMutex(); a shared pointer so a message in flight keeps its logger.
std::shared_ptr<WebServerBuiltInLogger> &builtInLogger() {
  static auto *logger = new std::shared_ptr<WebServerBuiltInLogger>();
  return *logger;
}

bool standardErrorIsTerminal() {
  static const bool terminal = ::isatty(STDERR_FILENO) == 1;
  return terminal;
}

const char *levelName(int level) {
  switch (level) {
  case kWebServerLogDebug:
    return "DEBUG";
  case kWebServerLogVerbose:
    return "VERBOSE";
  case kWebServerLogInfo:
    return "INFO";
  case kWebServerLogWarning:
    return "WARNING";
  default:
    return "ERROR";
  }
}

} // namespace

int WebServerLogLevel() { return gLogLevel.load(std::memory_order_relaxed); }
void WebServerSetLogLevel(int level) { gLogLevel.store(level, std::memory_order_relaxed); }

void WebServerSetBuiltInLogger(WebServerBuiltInLogger logger) {
  std::lock_guard lock(loggerMutex());
  builtInLogger() = logger ? std::make_shared<WebServerBuiltInLogger>(std::move(logger)) : nullptr;
  gHasBuiltInLogger.store(builtInLogger() != nullptr, std::memory_order_release);
}

bool WebServerShouldLog(int level) {
  if (WebServerLogLevel() > level)
    return false;
  // The terminal test runs on the first message whatever happens next, as the gate is
  // decided once per process.
  const bool terminal = standardErrorIsTerminal();
  return gHasBuiltInLogger.load(std::memory_order_acquire) || terminal;
}

void WebServerLogMessage(int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  WebServerLogMessageV(level, format, args);
  va_end(args);
}

void WebServerLogMessageV(int level, const char* format, va_list arguments) {
  if (!WebServerShouldLog(level))
    return;
  char stackBuffer[512];
  std::string text;
  va_list args;
  va_copy(args, arguments);
  va_list copy;
  va_copy(copy, arguments);
  const int needed = std::vsnprintf(stackBuffer, sizeof(stackBuffer), format, args);
  va_end(args);
  if (needed < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<size_t>(needed) < sizeof(stackBuffer)) {
    text.assign(stackBuffer, static_cast<size_t>(needed));
  } else {
    text.resize(static_cast<size_t>(needed) + 1);
    std::vsnprintf(text.data(), text.size(), format, copy);
    text.resize(static_cast<size_t>(needed));
  }
  va_end(copy);

  std::shared_ptr<WebServerBuiltInLogger> logger;
  if (gHasBuiltInLogger.load(std::memory_order_acquire)) {
    std::lock_guard lock(loggerMutex());
    logger = builtInLogger();
  }
  if (logger) {
    (*logger)(level, text);
    return;
  }
  std::string line;
  line.reserve(text.size() + 12);
  line.append("[").append(levelName(level)).append("] ").append(text);
  OmbreliaLogger::traceWebServer(line);
}

} // namespace ombrelia
