#pragma once
// Any thread.

namespace ombrelia {

// One peer connection with its data channel.
class WebRTCClient {
 public:
  // True while the data channel to the peer is open.
  bool isConnected() const { return false; }
};

}  // namespace ombrelia
