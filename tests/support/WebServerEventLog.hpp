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

 private:
  // Shared with the installed logger, which a server thread may still be calling while this
  // object goes away.
  struct State {
    Waiter waiter;
    // Guarded by waiter.mutex().
    std::vector<Line> lines;
    std::vector<Call> registrations;
    std::vector<Call> mappingUpdates;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace ombrelia::test
