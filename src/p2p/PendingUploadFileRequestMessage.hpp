#pragma once
// Any thread: a value record.

#include "peers/Peer.hpp"
#include "protocol/FileRequestMessage.hpp"

namespace ombrelia {

// A segment request from another peer, waiting for its segment to be stored.
struct PendingUploadFileRequestMessage {
  double timestamp = 0;  // monotonic seconds at receipt
  FileRequestMessage message;
  Peer peer;
};

}  // namespace ombrelia
