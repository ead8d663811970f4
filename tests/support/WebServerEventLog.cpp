#include "support/WebServerEventLog.hpp"

#include <mutex>
#include <thread>

#include "webserver/core/WebServer.hpp"
#include "webserver/core/WebServerLog.hpp"

namespace ombrelia::test {

namespace {

// How long a stop is given to return while a report is held: it returns at once unless it
// waits for that report, and a wait that ends no sooner than this is taken for one.
constexpr auto kStopBound = std::chrono::milliseconds(1000);

}  // namespace

WebServerEventLog::WebServerEventLog() {
  WebServerSetBuiltInLogger([state = state_](int level, const std::string& text) {
    bool hold = false;
    {
      std::lock_guard lock(state->waiter.mutex());
      state->lines.push_back({level, text});
      if (state->holdPrefix && text.starts_with(*state->holdPrefix)) {
        state->holdPrefix.reset();
        state->held = true;
        hold = true;
      }
      state->waiter.notify();
    }
    if (hold) state->waiter.waitFor(kHoldBound, [&] { return state->released; });
  });
}

WebServerEventLog::~WebServerEventLog() {
  release();
  WebServerSetBuiltInLogger(nullptr);
}

void WebServerEventLog::holdAtLine(std::string prefix) {
  std::lock_guard lock(state_->waiter.mutex());
  state_->holdPrefix = std::move(prefix);
  state_->held = false;
  state_->released = false;
}

bool WebServerEventLog::waitUntilHeld(std::chrono::milliseconds bound) {
  return state_->waiter.waitFor(bound, [&] { return state_->held; });
}

void WebServerEventLog::release() {
  std::lock_guard lock(state_->waiter.mutex());
  state_->released = true;
  state_->waiter.notify();
}

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

StopDuringHeldReport stopDuringHeldReport(WebServer& server, WebServerEventLog& events,
                                          const std::function<size_t()>& calls) {
  Waiter waiter;
  bool returned = false;  // guarded by waiter.mutex()
  StopDuringHeldReport result;
  std::thread stopper([&] {
    server.stop();
    const size_t count = calls();
    std::lock_guard lock(waiter.mutex());
    result.callsWhenReturned = count;
    returned = true;
    waiter.notify();
  });
  result.returnedWhileHeld = waiter.waitFor(kStopBound, [&] { return returned; });
  events.release();
  stopper.join();
  return result;
}

}  // namespace ombrelia::test
