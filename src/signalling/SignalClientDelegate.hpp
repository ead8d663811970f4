#pragma once
// Called on the signalling client's serial callback queue, one event at a time.

#include <string>

#include <ombrelia/Data.hpp>

namespace ombrelia {

class SignalingClient;

// Receives the signalling connection's events.
class SignalClientDelegate {
 public:
  virtual ~SignalClientDelegate() = default;
  virtual void signalClientDidConnect(SignalingClient& client) = 0;
  virtual void signalClientDidDisconnect(SignalingClient& client) = 0;
  virtual void signalClientDidReceiveData(SignalingClient& client, const Data& data) = 0;
  virtual void signalClientDidReceiveMessage(SignalingClient& client,
                                             const std::string& message) = 0;
};

}  // namespace ombrelia
