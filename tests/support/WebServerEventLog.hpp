#pragma once
// Any thread records (the server's log sink, the main queue's delegate calls); the test thread
// waits and reads.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/Waiter.hpp"
#include "webserver/core/WebServerDelegate.hpp"

namespace ombrelia::test {

// What a web server told its application: every log line (it installs itself as the
// process-wide built-in logger while it lives) and the publication and port-mapping delegate
// calls, each with the URL the server reported at that moment.
class WebServerEventLog : public WebServerDelegate {
 public:
  struct Line {
    int level = 0;
    std::string text;
  };
  struct Call {
    std::optional<std::string> url;   // bonjourServerURL() or publicServerURL()
    std::optional<std::string> name;  // bonjourName(), for publication calls
  };

  WebServerEventLog();
  ~WebServerEventLog() override;

  void webServerDidCompleteBonjourRegistration(WebServer& server) override;
  void webServerDidUpdateNATPortMapping(WebServer& server) override;

  // Waits until a line of this level and text was logged.
  bool waitForLine(int level, const std::string& text, std::chrono::milliseconds bound);
  bool waitForRegistrations(size_t count, std::chrono::milliseconds bound);
  bool waitForMappingUpdates(size_t count, std::chrono::milliseconds bound);
  std::vector<Line> lines();
  std::vector<Call> registrations();
  std::vector<Call> mappingUpdates();

  // Makes the thread that logs the next line beginning with `prefix` wait there until release()
  // (within kHoldBound): a report logs before it calls the delegate, so this holds it between
  // the two.
  void holdAtLine(std::string prefix);
  bool waitUntilHeld(std::chrono::milliseconds bound);
  void release();

  // A held report is let go by then even if the test never releases it, so a failing test ends.
  static constexpr std::chrono::seconds kHoldBound{30};

  // Stops `server` on a thread of its own while a report is held, lets the report go once stop()
  // has returned or a short bound has passed, and tells what came of it for the calls of `kind`.
  enum class CallKind { registration, mappingUpdate };
  struct HeldStop {
    bool returnedWhileHeld = false;  // stop() returned before the report was let go
    bool calledAfterReturn = false;  // the delegate had a call of `kind` after stop() returned
  };
  HeldStop stopDuringHeldReport(WebServer& server, CallKind kind);

 private:
  // Shared with the installed logger, which a server thread may still be calling while this
  // object goes away.
  struct State {
    Waiter waiter;
    // Guarded by waiter.mutex().
    std::vector<Line> lines;
    std::vector<Call> registrations;
    std::vector<Call> mappingUpdates;
    std::optional<std::string> holdPrefix;
    bool held = false;
    bool released = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace ombrelia::test
