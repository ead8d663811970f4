#pragma once
// Guarded by the engine's request-list lock: every field is read and written under it.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/Data.hpp>

#include "p2p/FileRequestMessage.hpp"
#include "p2p/FileRequestResponseMessage.hpp"
#include "p2p/FileRequestState.hpp"
#include "p2p/FileRequestType.hpp"
#include "signalling/PeerType.hpp"

namespace ombrelia {

// One segment request this client sent to its uploader, with its reassembly state.
struct PendingFileRequestMessage {
  using Completion =
      std::function<void(std::optional<Data>, std::optional<std::string>, std::optional<PeerType>)>;

  // Monotonic seconds at creation.
  double timestamp = 0;
  std::optional<double> secondTimestamp;
  FileRequestMessage message;
  std::optional<FileRequestResponseMessage> responseMessage;
  FileRequestState state = FileRequestState::pending;
  FileRequestType type = FileRequestType::main;
  // Sized to the announced segment when the first frame arrives.
  std::optional<std::vector<uint8_t>> segmentData;
  // Payload bytes taken so far.
  int64_t countingData = 0;
  // Chunks already written, by index, for frames at whole-chunk offsets (all of them, as the
  // store cuts segments): a repeated frame is not counted twice. One bit per chunk keeps this
  // small whatever a peer sends.
  std::vector<bool> receivedChunks;
  Completion completion;

  // Hands the completion, once, to the main queue; later calls find nothing to call.
  void onCompleted(std::optional<Data> data, std::optional<std::string> contentType,
                   std::optional<PeerType> peerType);
  // Seconds the rest will take at the rate seen so far; none before the first frame.
  std::optional<double> requestTimeLeft(double now) const;
  double requestElapsedTime(double now) const;
};

}  // namespace ombrelia
