#pragma once
// Any thread: events arrive on the transport's delegate queue, the test reads from its own.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "signalling/WebSocketProvider.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {

// A transport delegate that records every event and, when asked, reconnects at once after each
// disconnection, as the signalling dispatcher does.
class TransportRecorder final : public WebSocketProviderDelegate {
 public:
  explicit TransportRecorder(bool reconnect = false) : reconnect_(reconnect) {}

  void webSocketDidConnect(WebSocketProvider& webSocket) override;
  void webSocketDidDisconnect(WebSocketProvider& webSocket) override;
  void webSocket(WebSocketProvider& webSocket, const Data& didReceiveData) override;
  void webSocket(WebSocketProvider& webSocket, const std::string& didReceiveString) override;

  int connects() const;
  int disconnects() const;
  std::vector<std::string> texts() const;
  std::vector<std::string> data() const;
  // Waits until the predicate holds, re-checked after every event; false on timeout.
  bool waitUntil(const std::function<bool()>& predicate,
                 std::chrono::milliseconds timeout = scaledWait(std::chrono::seconds(5))) const;

 private:
  const bool reconnect_;
  mutable std::mutex mutex_;  // guards the fields below
  mutable std::condition_variable changed_;
  int connects_ = 0;
  int disconnects_ = 0;
  std::vector<std::string> texts_;
  std::vector<std::string> data_;
};

}  // namespace ombrelia::test
