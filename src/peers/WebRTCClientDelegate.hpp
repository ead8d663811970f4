#pragma once
// Called on the framework's callback threads (sent-data reports on the sending thread).

#include <cstdint>
#include <string>

#include <ombrelia/Data.hpp>

#include "datachannel/DCIceState.hpp"
#include "peers/LocalCandidate.hpp"

namespace ombrelia {

class WebRTCClient;

// Receives the events of one or more WebRTC clients. The client stays alive during each call,
// even when the delegate drops every other reference to it.
class WebRTCClientDelegate {
 public:
  virtual ~WebRTCClientDelegate() = default;

  virtual void webRTCClient(WebRTCClient& client,
                            const LocalCandidate& didDiscoverLocalCandidate) = 0;
  virtual void webRTCClient(WebRTCClient& client,
                            datachannel::DCIceState didChangeConnectionState) = 0;
  virtual void webRTCClient(WebRTCClient& client, const std::string& didReceiveString) = 0;
  virtual void webRTCClient(WebRTCClient& client, const Data& didReceiveData) = 0;
  // The size of a binary frame just handed to the channel, header included.
  virtual void webRTCClient(WebRTCClient& client, int64_t didSentData) = 0;
};

}  // namespace ombrelia
