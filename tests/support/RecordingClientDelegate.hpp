#pragma once
// Any thread: the client's callbacks record under the waiter's lock; the test reads and waits.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "peers/WebRTCClientDelegate.hpp"
#include "support/Waiter.hpp"

namespace ombrelia::test {

// A WebRTC client delegate that records every event, with optional hooks that run after the
// event is recorded (set them before the client can call).
class RecordingClientDelegate : public WebRTCClientDelegate {
 public:
  struct Events {
    std::vector<LocalCandidate> candidates;
    std::vector<datachannel::DCIceState> states;
    std::vector<std::string> texts;
    std::vector<Data> data;
    std::vector<int64_t> sent;
  };

  std::function<void(WebRTCClient&, const LocalCandidate&)> onCandidate;
  std::function<void(WebRTCClient&, datachannel::DCIceState)> onState;
  std::function<void(WebRTCClient&, const std::string&)> onText;

  Events events();
  // True once the predicate holds on the events, false at the timeout.
  bool waitFor(std::chrono::milliseconds timeout, const std::function<bool(const Events&)>& done);

  void webRTCClient(WebRTCClient& client, const LocalCandidate& didDiscoverLocalCandidate) override;
  void webRTCClient(WebRTCClient& client,
                    datachannel::DCIceState didChangeConnectionState) override;
  void webRTCClient(WebRTCClient& client, const std::string& didReceiveString) override;
  void webRTCClient(WebRTCClient& client, const Data& didReceiveData) override;
  void webRTCClient(WebRTCClient& client, int64_t didSentData) override;

 private:
  Waiter waiter_;
  Events events_;  // guarded by waiter_.mutex()
};

}  // namespace ombrelia::test
