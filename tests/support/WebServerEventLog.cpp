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
// A report let go goes on to the delegate at once; a call later than this is no longer its.
constexpr auto kLateCallBound = std::chrono::milliseconds(500);

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

WebServerEventLog::HeldStop WebServerEventLog::stopDuringHeldReport(WebServer& server,
                                                                    CallKind kind) {
  const auto calls = [this, kind] {
    return kind == CallKind::registration ? state_->registrations.size()
                                          : state_->mappingUpdates.size();
  };
  Waiter stopping;
  bool returned = false;  // guarded by stopping.mutex()
  size_t callsWhenReturned = 0;
  std::thread stopper([&] {
    server.stop();
    std::scoped_lock lock(stopping.mutex(), state_->waiter.mutex());
    callsWhenReturned = calls();
    returned = true;
    stopping.notify();
  });
  HeldStop result;
  result.returnedWhileHeld = stopping.waitFor(kStopBound, [&] { return returned; });
  release();
  stopper.join();
  result.calledAfterReturn =
      state_->waiter.waitFor(kLateCallBound, [&] { return calls() > callsWhenReturned; });
  return result;
}

}  // namespace ombrelia::test
