#pragma once
// Any thread: value records.

#include <cstdint>
#include <vector>

#include "peers/Peer.hpp"
#include "protocol/FileAvailabilityRequestMessage.hpp"

namespace ombrelia {

// One scored answer to an availability query.
struct FileAvailabilityMessageResponseScore {
  Peer peer;
  double score = 0;
};

// One availability query this client sent, with the scores of its answers.
struct PendingFileAvailabilityMessage {
  double timestamp = 0;  // monotonic seconds at sending
  FileAvailabilityRequestMessage message;
  std::vector<FileAvailabilityMessageResponseScore> scores;
  // The queries of one search (one per peer) share it: one choice is made per search.
  uint64_t searchID = 0;
  bool choiceScheduled = false;
};

}  // namespace ombrelia
