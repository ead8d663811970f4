#include "support/ChannelPair.hpp"

#include <variant>

namespace ombrelia::test {

using namespace std::chrono_literals;

ChannelPair::ChannelPair(datachannel::DCConfiguration config)
    : ChannelPair(LoopbackPeers::Options{}, config) {}

ChannelPair::ChannelPair(LoopbackPeers::Options options, datachannel::DCConfiguration config)
    : peers(std::move(options), config) {
  peers.answerer->onDataChannel(
      [recorder = remoteEvents](std::shared_ptr<datachannel::DCDataChannel> channel) mutable {
        recorder.attach(channel);
      });
  local = peers.offerer->createDataChannel("P2P");
  localEvents.attach(local);
}

bool ChannelPair::open(std::chrono::milliseconds timeout) {
  return localEvents.waitForEvent("open", timeout) && remoteEvents.waitForEvent("open", timeout);
}

bool ChannelPair::carries(const std::string& text) {
  const size_t before = remoteEvents.frames().size();
  if (!local->sendText(text)) return false;
  if (!remoteEvents.waitForFrames(before + 1, 10s)) return false;
  const auto frames = remoteEvents.frames();
  const auto* received = std::get_if<std::string>(&frames[before]);
  return received != nullptr && *received == text;
}

}  // namespace ombrelia::test
