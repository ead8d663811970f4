#include "support/OpenChannels.hpp"

#include <variant>

#include "support/WaitScale.hpp"

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
  const auto bound = scaledWait(timeout);
  return localEvents.waitForEvent("open", bound) && remoteEvents.waitForEvent("open", bound);
}

std::shared_ptr<datachannel::DCDataChannel> OpenChannels::remoteChannel() {
  std::lock_guard lock(remote_->mutex);
  return remote_->channel;
}

bool OpenChannels::carries(const std::string& text) {
  const size_t before = remoteEvents.frames().size();
  if (!local->sendText(text)) return false;
  if (!remoteEvents.waitForFrames(before + 1, scaledWait(std::chrono::seconds(10)))) return false;
  const auto frames = remoteEvents.frames();
  const auto* received = std::get_if<std::string>(&frames[before]);
  return received != nullptr && *received == text;
}

}  // namespace ombrelia::test
