#include "support/RecordingClientDelegate.hpp"

namespace ombrelia::test {

RecordingClientDelegate::Events RecordingClientDelegate::events() {
  std::lock_guard lock(waiter_.mutex());
  return events_;
}

bool RecordingClientDelegate::waitFor(std::chrono::milliseconds timeout,
                                      const std::function<bool(const Events&)>& done) {
  return waiter_.waitFor(timeout, [&] { return done(events_); });
}

void RecordingClientDelegate::webRTCClient(WebRTCClient& client,
                                           const LocalCandidate& didDiscoverLocalCandidate) {
  {
    std::lock_guard lock(waiter_.mutex());
    events_.candidates.push_back(didDiscoverLocalCandidate);
  }
  waiter_.notify();
  if (onCandidate) onCandidate(client, didDiscoverLocalCandidate);
}

void RecordingClientDelegate::webRTCClient(WebRTCClient& client,
                                           datachannel::DCIceState didChangeConnectionState) {
  {
    std::lock_guard lock(waiter_.mutex());
    events_.states.push_back(didChangeConnectionState);
  }
  waiter_.notify();
  if (onState) onState(client, didChangeConnectionState);
}

void RecordingClientDelegate::webRTCClient(WebRTCClient& client,
                                           const std::string& didReceiveString) {
  {
    std::lock_guard lock(waiter_.mutex());
    events_.texts.push_back(didReceiveString);
  }
  waiter_.notify();
  if (onText) onText(client, didReceiveString);
}

void RecordingClientDelegate::webRTCClient(WebRTCClient&, const Data& didReceiveData) {
  {
    std::lock_guard lock(waiter_.mutex());
    events_.data.push_back(didReceiveData);
  }
  waiter_.notify();
}

void RecordingClientDelegate::webRTCClient(WebRTCClient&, int64_t didSentData) {
  {
    std::lock_guard lock(waiter_.mutex());
    events_.sent.push_back(didSentData);
  }
  waiter_.notify();
}

}  // namespace ombrelia::test
