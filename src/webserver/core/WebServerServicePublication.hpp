#pragma once
// Owner thread: start() and stop(), by the server's owner. The daemon's answers are applied and
// logged on the main queue; the readers may be called from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/ServicePublisher.hpp"

namespace ombrelia {

// A started server's published service: registered with the local mDNS daemon under the
// server's name and port, then resolved to the host name that browsers on the link see.
// Failures are logged and leave the server serving.
class WebServerServicePublication
    : public std::enable_shared_from_this<WebServerServicePublication> {
 public:
  // Runs on the main queue once the service is registered and resolved.
  using DidComplete = std::function<void()>;

  [[nodiscard]] static std::shared_ptr<WebServerServicePublication> start(std::string name,
                                                                          std::string type,
                                                                          uint16_t port,
                                                                          DidComplete didComplete);
  ~WebServerServicePublication();
  WebServerServicePublication(const WebServerServicePublication&) = delete;
  WebServerServicePublication& operator=(const WebServerServicePublication&) = delete;

  // Ends the resolution and withdraws the service. No report starts after it returns; one
  // already under way on the main queue may still be calling back: waitForReports() waits for it.
  void stop();
  // Returns once no report is under way. Called from inside a report (the delegate stopping the
  // server), it returns at once: the report it runs in is the last.
  void waitForReports();

  // The registered name (the daemon's alternative when the asked one was taken) and type;
  // absent until registered, and after a failure or stop.
  std::optional<std::string> bonjourName() const;
  std::optional<std::string> bonjourType() const;
  // The server's URL on the resolved host; absent until resolved.
  std::optional<std::string> bonjourServerURL() const;

 private:
  WebServerServicePublication(std::string type, uint16_t port, DidComplete didComplete);
  void didRegister(const std::string& name);
  void didResolve(const std::string& host);
  void didFail(platform::ServicePublisher::Failure failure, int code);

  const std::string type_;
  const uint16_t port_;
  const DidComplete didComplete_;
  std::unique_ptr<platform::ServicePublisher> publisher_;  // owner thread only
  // Held by a report from its look at stopped_ until its callback has returned, so that a stop
  // can wait for a report that saw the service still published. Recursive for the delegate that
  // stops the server from inside a report. Taken before mutex_, never while holding it.
  std::recursive_mutex reportMutex_;
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::optional<std::string> name_;
  std::optional<std::string> host_;
  bool stopped_ = false;
};

}  // namespace ombrelia
