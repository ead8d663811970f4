#pragma once
// Any thread: stateless.

#include <string>
#include <vector>

namespace ombrelia {
class WebRTCClient;
}

namespace ombrelia::test {

// One record of every peer message kind the WebRTC client has a sender for.
class PeerMessageSamples {
 public:
  // Sends them through the client's nine typed senders, in the senders' order, and returns the
  // JSON text each one must arrive as.
  static std::vector<std::string> sendEveryKind(WebRTCClient& client);
};

}  // namespace ombrelia::test
