#pragma once
// Owner thread: start() and stop(), by the server's owner. The gateway's answers are applied and
// logged on the main queue; publicServerURL() may be called from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/PortMapper.hpp"

namespace ombrelia {

// A started server's TCP port mapped on the default gateway to the same public port, kept
// renewed, and deleted at stop. Failures are logged and leave the server serving.
class WebServerPortMapping : public std::enable_shared_from_this<WebServerPortMapping> {
 public:
  // Runs on the main queue after each change of the mapping, failures included.
  using DidUpdate = std::function<void()>;

  // Null when no mapping can be asked for (no default gateway, no socket): logged.
  [[nodiscard]] static std::shared_ptr<WebServerPortMapping> start(uint16_t port,
                                                                   DidUpdate didUpdate);
  ~WebServerPortMapping();
  WebServerPortMapping(const WebServerPortMapping&) = delete;
  WebServerPortMapping& operator=(const WebServerPortMapping&) = delete;

  // Deletes the mapping and forgets the public address. No report starts after it returns; one
  // already under way on the main queue may still be calling back: waitForReports() waits for it.
  void stop();
  // Returns once no report is under way. Called from inside a report (the delegate stopping the
  // server), it returns at once: the report it runs in is the last.
  void waitForReports();

  // The server's URL at the gateway's public address and mapped port; absent without a mapping.
  std::optional<std::string> publicServerURL() const;

 private:
  explicit WebServerPortMapping(DidUpdate didUpdate);
  void didUpdate(const platform::PortMapper::Update& update);

  const DidUpdate didUpdate_;
  std::shared_ptr<platform::PortMapper> mapper_;  // owner thread only
  // Held by a report from its look at stopped_ until its callback has returned, so that a stop
  // can wait for a report that saw the mapping still running. Recursive for the delegate that
  // stops the server from inside a report. Taken before mutex_, never while holding it.
  std::recursive_mutex reportMutex_;
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::string publicAddress_;
  uint16_t publicPort_ = 0;
  bool stopped_ = false;
};

}  // namespace ombrelia
