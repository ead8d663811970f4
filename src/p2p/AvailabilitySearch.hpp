#pragma once
// Any thread. The query list has a lock of its own; the subscription's lock may be taken
// briefly under it, and no lock is held while a message is sent.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include <ombrelia/SegmentInfo.hpp>

#include "p2p/PendingFileAvailabilityMessage.hpp"
#include "peers/Peer.hpp"

namespace ombrelia {

class Abonnement;
class FileAvailabilityResponseMessage;
struct PeerMessagesEnvironment;

// The search for a peer to subscribe to ("fileAvailability"), from both sides: it asks every
// connected peer whether it holds a segment and scores the answers, and it answers other peers'
// queries from the segment store. An answer "segment ready" subscribes at once; scored answers
// wait for one delayed choice per search.
class AvailabilitySearch {
 public:
  // Age after which an unanswered availability query is forgotten.
  static constexpr double kPendingAvailabilityTolerance = 10.0;
  // Queries are made one per connected peer (at most 32) per player request; this holds ten
  // seconds of them and bounds the list when answers never come. The oldest goes first.
  static constexpr size_t kMaxPendingAvailability = 256;
  // A query goes to one peer; more scores than this come only from a peer repeating itself.
  static constexpr size_t kMaxScoresPerQuery = 8;
  // The subscription choice waits at most this long for more answers.
  static constexpr double kMaxChoiceDelaySeconds = 1.0;

  // What an answer led to.
  struct Outcome {
    // A subscription was made to the answering peer: its "aboRequest" is to be sent.
    bool subscribed = false;
    // The search whose choice is to be scheduled, by the first scored answer to any of its
    // queries.
    std::optional<uint64_t> choice;
  };

  // Both outlive the search.
  AvailabilitySearch(const PeerMessagesEnvironment& environment, Abonnement& abonnement)
      : environment_(environment), abonnement_(abonnement) {}

  // Asks every connected peer whether it holds the segment, as one search.
  void search(const SegmentInfo& segmentInfo, const std::string& videoID);
  // Answers a peer's query from the segment store.
  void answer(const FileAvailabilityRequestMessage& query, const Peer& peer) const;
  Outcome takeAnswer(const FileAvailabilityResponseMessage& message, const Peer& peer);
  // Seconds the choice waits for more answers: a quarter of the shorter of the segment duration
  // and the buffer, at most kMaxChoiceDelaySeconds.
  double choiceDelay() const;
  // Ends the search and returns its best scored answer, if any.
  std::optional<FileAvailabilityMessageResponseScore> takeBest(uint64_t searchID);

  size_t count() const;

 private:
  const PeerMessagesEnvironment& environment_;
  Abonnement& abonnement_;

  mutable std::mutex mutex_;  // guards the queries and the search counter
  std::deque<PendingFileAvailabilityMessage> queries_;
  uint64_t nextSearchID_ = 0;
};

}  // namespace ombrelia
