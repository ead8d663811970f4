#include "support/WebServerEventLog.hpp"

#include <mutex>

#include "webserver/core/WebServer.hpp"
#include "webserver/core/WebServerLog.hpp"

namespace ombrelia::test {

WebServerEventLog::WebServerEventLog() {
  WebServerSetBuiltInLogger([state = state_](int level, const std::string& text) {
    std::lock_guard lock(state->waiter.mutex());
    state->lines.push_back({level, text});
    state->waiter.notify();
  });
}

WebServerEventLog::~WebServerEventLog() { WebServerSetBuiltInLogger(nullptr); }

void WebServerEventLog::webServerDidCompleteBonjourRegistration(WebServer& server) {
  Call call{server.bonjourServerURL(), server.bonjourName()};
  std::lock_guard lock(state_->waiter.mutex());
  state_->registrations.push_back(std::move(call));
  state_->waiter.notify();
}

void WebServerEventLog::webServerDidUpdateNATPortMapping(WebServer& server) {
  Call call{server.publicServerURL(), std::nullopt};
  std::lock_guard lock(state_->waiter.mutex());
  state_->mappingUpdates.push_back(std::move(call));
  state_->waiter.notify();
}

bool WebServerEventLog::waitForLine(int level, const std::string& text,
                                    std::chrono::milliseconds bound) {
  return state_->waiter.waitFor(bound, [&] {
    for (const auto& line : state_->lines) {
      if (line.level == level && line.text == text) return true;
    }
    return false;
  });
}

bool WebServerEventLog::waitForRegistrations(size_t count, std::chrono::milliseconds bound) {
  return state_->waiter.waitFor(bound, [&] { return state_->registrations.size() >= count; });
}

bool WebServerEventLog::waitForMappingUpdates(size_t count, std::chrono::milliseconds bound) {
  return state_->waiter.waitFor(bound, [&] { return state_->mappingUpdates.size() >= count; });
}

std::vector<WebServerEventLog::Line> WebServerEventLog::lines() {
  std::lock_guard lock(state_->waiter.mutex());
  return state_->lines;
}

std::vector<WebServerEventLog::Call> WebServerEventLog::registrations() {
  std::lock_guard lock(state_->waiter.mutex());
  return state_->registrations;
}

std::vector<WebServerEventLog::Call> WebServerEventLog::mappingUpdates() {
  std::lock_guard lock(state_->waiter.mutex());
  return state_->mappingUpdates;
}

}  // namespace ombrelia::test
