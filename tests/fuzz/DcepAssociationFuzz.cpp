// Feeds arbitrary channel-establishment and data messages to a live association: a peer that
// sends opens with any label, type and reliability on any stream (its own parity or ours, taken
// or free, past the stream limit), acknowledgements for channels that never were, and data on
// streams without a channel. The viewer refuses every channel but one "P2P", as the WebRTC client
// does. After each input the established "P2P" channel must still carry a message both ways.
//
// Input: records of [stream high, stream low, kind, length, bytes...]. Kind picks the payload
// identifier (control, text, binary, empty text, empty binary, or an unknown one).
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "datachannel/DCPeerConnection.hpp"

namespace {

using namespace ombrelia;
using namespace ombrelia::datachannel;
using namespace std::chrono_literals;

constexpr uint32_t kPpids[] = {50, 51, 53, 56, 57, 99};
constexpr auto kBound = 10s;

struct Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> atViewer;
  std::vector<std::string> atPeer;
  std::shared_ptr<DCDataChannel> viewerChannel;
  bool lost = false;

  template <typename Predicate>
  bool waitFor(Predicate predicate) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kBound, predicate);
  }
  template <typename Change>
  void change(Change apply) {
    {
      std::lock_guard lock(mutex);
      apply();
    }
    changed.notify_all();
  }
};

// The viewer answers; the peer offers and then misbehaves through the raw seam.
struct Association {
  std::shared_ptr<Shared> shared = std::make_shared<Shared>();
  std::shared_ptr<DCPeerConnection> peer;
  std::shared_ptr<DCPeerConnection> viewer;
  std::shared_ptr<DCDataChannel> peerChannel;

  bool open() {
    DCConfiguration config;
    config.bindAddress = "127.0.0.1";
    peer = DCPeerConnection::create(config);
    viewer = DCPeerConnection::create(config);
    if (!peer || !viewer) return false;
    std::weak_ptr<DCPeerConnection> toViewer = viewer;
    std::weak_ptr<DCPeerConnection> toPeer = peer;
    peer->onLocalDescription([toViewer](std::string sdp) {
      if (auto v = toViewer.lock()) v->setRemoteDescription(sdp);
    });
    viewer->onLocalDescription([toPeer](std::string sdp) {
      if (auto p = toPeer.lock()) p->setRemoteDescription(sdp);
    });
    peer->onLocalCandidate([toViewer](std::string candidate, std::string mid) {
      if (auto v = toViewer.lock()) v->addRemoteCandidate(candidate, mid);
    });
    viewer->onLocalCandidate([toPeer](std::string candidate, std::string mid) {
      if (auto p = toPeer.lock()) p->addRemoteCandidate(candidate, mid);
    });
    auto shared = this->shared;
    auto lostState = [shared](DCIceState state) {
      if (isLost(state)) shared->change([&] { shared->lost = true; });
    };
    peer->onStateChange(lostState);
    viewer->onStateChange(lostState);
    viewer->onDataChannel([shared](std::shared_ptr<DCDataChannel> channel) {
      bool accepted = false;
      shared->change([&] {
        accepted = channel->label() == "P2P" && !shared->viewerChannel;
        if (accepted) shared->viewerChannel = channel;
      });
      if (!accepted) {
        channel->close();
        return;
      }
      channel->onOpen([shared](DCDcEvent) { shared->change([] {}); });
      channel->onMessage(
          [shared](std::string text) { shared->change([&] { shared->atViewer.push_back(text); }); },
          [](Data) {});
    });
    peerChannel = peer->createDataChannel("P2P");
    if (!peerChannel) return false;
    // Open events change nothing of ours, but the wait below reads the channels' state.
    peerChannel->onOpen([shared](DCDcEvent) { shared->change([] {}); });
    peerChannel->onMessage(
        [shared](std::string text) { shared->change([&] { shared->atPeer.push_back(text); }); },
        [](Data) {});
    return shared->waitFor([&] {
      return shared->lost ||
             (shared->viewerChannel && shared->viewerChannel->isOpen() && peerChannel->isOpen());
    }) && !shared->lost;
  }

  // A probe each way on "P2P"; true when both arrive.
  bool carries(uint64_t round) {
    const std::string probe = "probe " + std::to_string(round);
    std::shared_ptr<DCDataChannel> viewerChannel;
    {
      std::lock_guard lock(shared->mutex);
      viewerChannel = shared->viewerChannel;
    }
    if (!peerChannel->sendText(probe) || !viewerChannel->sendText(probe)) return false;
    auto has = [&](const std::vector<std::string>& texts) {
      for (const auto& text : texts) {
        if (text == probe) return true;
      }
      return false;
    };
    return shared->waitFor([&] { return has(shared->atViewer) && has(shared->atPeer); });
  }
};

// One association for every input, as a long fuzzing run needs; it lives until the process ends.
Association* association = nullptr;
uint64_t rounds = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!association) {
    association = new Association();
    if (!association->open()) __builtin_trap();
  }
  size_t at = 0;
  while (at + 4 <= size) {
    const auto stream = static_cast<uint16_t>((data[at] << 8) | data[at + 1]);
    const uint32_t ppid = kPpids[data[at + 2] % std::size(kPpids)];
    size_t length = data[at + 3];
    at += 4;
    if (length > size - at) length = size - at;
    association->peer->sendRawForTesting(stream, ppid,
                                         std::vector<uint8_t>(data + at, data + at + length));
    at += length;
  }
  // Whatever came before, the exchange's channel still works both ways.
  if (!association->carries(++rounds)) __builtin_trap();
  return 0;
}
