#pragma once
// Guarded by the download list's lock (SegmentDownloads): every field is read and written under it.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <memory>

#include <ombrelia/Data.hpp>

#include "p2p/FileRequestState.hpp"
#include "p2p/FileRequestType.hpp"
#include "p2p/SegmentReassembly.hpp"
#include "platform/Uuid.hpp"
#include "protocol/FileRequestMessage.hpp"
#include "protocol/FileRequestResponseMessage.hpp"
#include "protocol/PeerType.hpp"

namespace ombrelia {

class WebRTCClient;

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
  // Made when the uploader's first answer is taken; its buffer is allocated at the first frame.
  std::optional<SegmentReassembly> reassembly;
  // The peer the request was sent to: only its answer, frames and chain count, and stops go
  // only to it.
  Uuid uploader;
  std::weak_ptr<WebRTCClient> uploaderClient;
  // The subscription the request was sent under; when that subscription ends, so does the
  // request.
  uint64_t generation = 0;
  Completion completion;

  // Hands the completion, once, to the main queue; later calls find nothing to call.
  void onCompleted(std::optional<Data> data, std::optional<std::string> contentType,
                   std::optional<PeerType> peerType);
  // Seconds the rest will take at the rate seen so far; none before the first frame.
  std::optional<double> requestTimeLeft(double now) const;
  double requestElapsedTime(double now) const;
};

}  // namespace ombrelia
