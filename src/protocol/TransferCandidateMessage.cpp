#include "protocol/TransferCandidateMessage.hpp"

#include <utility>

namespace ombrelia {

TransferCandidateMessage::TransferCandidateMessage(std::string type, Uuid remotePeerID,
                                                   Uuid askingPeerID, Candidate candidate)
    : type_(std::move(type)),
      remotePeerID_(remotePeerID),
      askingPeerID_(askingPeerID),
      candidate_(std::move(candidate)) {}

std::optional<TransferCandidateMessage> TransferCandidateMessage::decode(
    const platform::JsonReader& object) {
  auto type = object.string("type");
  auto remotePeerID = object.uuid("remotePeerID");
  auto askingPeerID = object.uuid("askingPeerID");
  auto nested = object.object("candidate");
  if (!type || !remotePeerID || !askingPeerID || !nested) return std::nullopt;
  auto candidate = Candidate::decode(*nested);
  if (!candidate) return std::nullopt;
  return TransferCandidateMessage(std::move(*type), *remotePeerID, *askingPeerID,
                                  std::move(*candidate));
}

}  // namespace ombrelia
