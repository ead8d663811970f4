#pragma once
// Called on the signalling transport's delegate queue, one event at a time.

#include <string>

#include <ombrelia/Data.hpp>

namespace ombrelia {

class SignalingClient;

// The signalling client's events, as its transport reported them.
class SignalClientDelegate {
 public:
  virtual ~SignalClientDelegate() = default;
  virtual void signalClientDidConnect(SignalingClient& signalClient) = 0;
  virtual void signalClientDidDisconnect(SignalingClient& signalClient) = 0;
  virtual void signalClient(SignalingClient& signalClient, const Data& didReceiveData) = 0;
  virtual void signalClient(SignalingClient& signalClient,
                            const std::string& didReceiveMessage) = 0;
};

}  // namespace ombrelia
