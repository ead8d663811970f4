#pragma once
// Any thread: a record of callables; each must be callable from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "peers/Peer.hpp"
#include "platform/Uuid.hpp"

namespace ombrelia {

class VideoStorage;
class WebRTCClient;

// What the peer engine reads of the rest of the library. The shared form reads the process's
// peer list, segment store, buffering controller and manifest store; tests give two engines
// in one process a world each.
struct PeerMessagesEnvironment {
  std::function<std::vector<Peer>()> peers;
  // The listed peer whose client is that very object.
  std::function<std::optional<Peer>(const WebRTCClient&)> peerWith;
  std::function<std::optional<Uuid>()> personalUUID;
  // Removes the peer that holds this very client from the list and closes its connection.
  std::function<void(WebRTCClient&)> retire;
  std::shared_ptr<VideoStorage> storage;
  // Seconds the player has buffered; none without a buffering delegate.
  std::function<std::optional<double>()> bufferLength;
  // Whole seconds.
  std::function<int64_t()> segmentDuration;

  static PeerMessagesEnvironment shared();
};

}  // namespace ombrelia
