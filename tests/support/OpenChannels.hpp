#pragma once
// Test thread builds and inspects; the connections' callbacks record from their queues.

#include <chrono>
#include <memory>
#include <mutex>

#include "datachannel/DCConfiguration.hpp"
#include "datachannel/DCDataChannel.hpp"
#include "support/ChannelRecorder.hpp"
#include "support/LoopbackPeers.hpp"

namespace ombrelia::test {

// A loopback pair with the offerer's "P2P" channel and the answerer's announced counterpart.
class OpenChannels {
 public:
  explicit OpenChannels(
      LoopbackPeers::Options options = LoopbackPeers::Options{},
      datachannel::DCConfiguration offererConfig = LoopbackPeers::loopbackConfig(),
      datachannel::DCConfiguration answererConfig = LoopbackPeers::loopbackConfig());

  bool open(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  std::shared_ptr<datachannel::DCDataChannel> remoteChannel();

  ChannelRecorder localEvents;
  ChannelRecorder remoteEvents;
  LoopbackPeers peers;
  std::shared_ptr<datachannel::DCDataChannel> local;

 private:
  struct Remote {
    std::mutex mutex;
    std::shared_ptr<datachannel::DCDataChannel> channel;
  };
  std::shared_ptr<Remote> remote_ = std::make_shared<Remote>();
};

}  // namespace ombrelia::test
