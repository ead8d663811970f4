#pragma once
// Any thread: an immutable value.

#include <optional>
#include <string>

#include "platform/JsonReader.hpp"
#include "platform/Uuid.hpp"
#include "protocol/Candidate.hpp"

namespace ombrelia {

// A received "transfer" carrying a candidate, relayed by the signalling service, which adds
// the sender as "askingPeerID". Only the nested "candidate" object tells it from the other
// transfer kind.
class TransferCandidateMessage {
 public:
  TransferCandidateMessage(std::string type, Uuid remotePeerID, Uuid askingPeerID,
                           Candidate candidate);

  static std::optional<TransferCandidateMessage> decode(const platform::JsonReader& object);

  const std::string& type() const { return type_; }
  const Uuid& remotePeerID() const { return remotePeerID_; }
  const Uuid& askingPeerID() const { return askingPeerID_; }
  const Candidate& candidate() const { return candidate_; }

  friend bool operator==(const TransferCandidateMessage&,
                         const TransferCandidateMessage&) = default;

 private:
  std::string type_;
  Uuid remotePeerID_;
  Uuid askingPeerID_;
  Candidate candidate_;
};

}  // namespace ombrelia
