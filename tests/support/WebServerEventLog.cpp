#include "support/WebServerEventLog.hpp"

#include <mutex>

#include "webserver/core/WebServer.hpp"
#include "webserver/core/WebServerLog.hpp"

namespace ombrelia::test {

WebServerEventLog::WebServerEventLog() {
  WebServerSetBuiltInLogger([this](int level, const std::string& text) {
    std::lock_guard lock(waiter_.mutex());
    lines_.push_back({level, text});
    waiter_.notify();
  });
}

WebServerEventLog::~WebServerEventLog() { WebServerSetBuiltInLogger(nullptr); }

void WebServerEventLog::webServerDidCompleteBonjourRegistration(WebServer& server) {
  Call call{server.bonjourServerURL(), server.bonjourName()};
  std::lock_guard lock(waiter_.mutex());
  registrations_.push_back(std::move(call));
  waiter_.notify();
}

void WebServerEventLog::webServerDidUpdateNATPortMapping(WebServer& server) {
  Call call{server.publicServerURL(), std::nullopt};
  std::lock_guard lock(waiter_.mutex());
  mappingUpdates_.push_back(std::move(call));
  waiter_.notify();
}

bool WebServerEventLog::waitForLine(int level, const std::string& text,
                                    std::chrono::milliseconds bound) {
  return waiter_.waitFor(bound, [&] {
    for (const auto& line : lines_) {
      if (line.level == level && line.text == text) return true;
    }
    return false;
  });
}

bool WebServerEventLog::waitForRegistrations(size_t count, std::chrono::milliseconds bound) {
  return waiter_.waitFor(bound, [&] { return registrations_.size() >= count; });
}

bool WebServerEventLog::waitForMappingUpdates(size_t count, std::chrono::milliseconds bound) {
  return waiter_.waitFor(bound, [&] { return mappingUpdates_.size() >= count; });
}

std::vector<WebServerEventLog::Line> WebServerEventLog::lines() {
  std::lock_guard lock(waiter_.mutex());
  return lines_;
}

std::vector<WebServerEventLog::Call> WebServerEventLog::registrations() {
  std::lock_guard lock(waiter_.mutex());
  return registrations_;
}

std::vector<WebServerEventLog::Call> WebServerEventLog::mappingUpdates() {
  std::lock_guard lock(waiter_.mutex());
  return mappingUpdates_;
}

}  // namespace ombrelia::test
