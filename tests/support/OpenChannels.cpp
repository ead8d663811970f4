#include "support/OpenChannels.hpp"

namespace ombrelia::test {

OpenChannels::OpenChannels(LoopbackPeers::Options options,
                           datachannel::DCConfiguration offererConfig,
                           datachannel::DCConfiguration answererConfig)
    : peers(std::move(options), offererConfig, answererConfig) {
  // The callback holds shared state only: the fixture may go while a callback still runs.
  peers.answerer->onDataChannel([recorder = remoteEvents, remote = remote_](
                                    std::shared_ptr<datachannel::DCDataChannel> channel) mutable {
    recorder.note("announced");
    recorder.attach(channel);
    std::lock_guard lock(remote->mutex);
    remote->channel = std::move(channel);
  });
  local = peers.offerer->createDataChannel("P2P");
  localEvents.attach(local);
}

bool OpenChannels::open(std::chrono::milliseconds timeout) {
  return localEvents.waitForEvent("open", timeout) && remoteEvents.waitForEvent("open", timeout);
}

std::shared_ptr<datachannel::DCDataChannel> OpenChannels::remoteChannel() {
  std::lock_guard lock(remote_->mutex);
  return remote_->channel;
}

}  // namespace ombrelia::test
