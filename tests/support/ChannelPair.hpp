#pragma once
// Test thread builds, sends and waits; the connections' callbacks record from their queues.

#include <chrono>
#include <memory>
#include <string>

#include "datachannel/DCDataChannel.hpp"
#include "support/ChannelRecorder.hpp"
#include "support/LoopbackPeers.hpp"

namespace ombrelia::test {

// A loopback pair with one channel the offerer opens; both ends record their events and frames.
class ChannelPair {
 public:
  explicit ChannelPair(datachannel::DCConfiguration config = LoopbackPeers::loopbackConfig());
  ChannelPair(LoopbackPeers::Options options, datachannel::DCConfiguration config);

  // Both ends open within `timeout`.
  bool open(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // One text is still carried promptly, offerer to answerer.
  bool carries(const std::string& text);

  ChannelRecorder localEvents;
  ChannelRecorder remoteEvents;
  LoopbackPeers peers;
  std::shared_ptr<datachannel::DCDataChannel> local;
};

}  // namespace ombrelia::test
