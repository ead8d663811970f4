#include "support/OpenChannels.hpp"

#include <iostream>
#include <string>
#include <variant>
#include <vector>

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
  if (localEvents.waitForEvent("open", bound) && remoteEvents.waitForEvent("open", bound))
    return true;
  // Which step never came, for a failure seen once in a loaded run.
  const auto states = [](const std::vector<datachannel::DCIceState>& list) {
    std::string text;
    for (const auto state : list) text += " " + datachannel::description(state);
    return text.empty() ? std::string(" none") : text;
  };
  const auto events = [](ChannelRecorder& recorder) {
    std::string text;
    for (const auto& event : recorder.events()) text += " " + event;
    return text.empty() ? std::string(" none") : text;
  };
  std::cerr << "channels not open within " << bound.count() << " ms; offerer states"
            << states(peers.offererStates()) << ", answerer states"
            << states(peers.answererStates()) << "; offerer's channel events" << events(localEvents)
            << ", answerer's" << events(remoteEvents) << "\n";
  return false;
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
