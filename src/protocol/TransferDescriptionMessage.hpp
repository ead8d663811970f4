#pragma once
// Any thread: an immutable value.

#include <optional>
#include <string>

#include "platform/JsonReader.hpp"
#include "platform/Uuid.hpp"
#include "protocol/Description.hpp"

namespace ombrelia {

// A received "transfer" carrying a description, relayed by the signalling service, which adds
// the sender as "askingPeerID". Only the nested "description" object tells it from the other
// transfer kind.
class TransferDescriptionMessage {
 public:
  TransferDescriptionMessage(std::string type, Uuid remotePeerID, Uuid askingPeerID,
                             Description description);

  static std::optional<TransferDescriptionMessage> decode(const platform::JsonReader& object);

  const std::string& type() const { return type_; }
  const Uuid& remotePeerID() const { return remotePeerID_; }
  const Uuid& askingPeerID() const { return askingPeerID_; }
  const Description& description() const { return description_; }

  friend bool operator==(const TransferDescriptionMessage&,
                         const TransferDescriptionMessage&) = default;

 private:
  std::string type_;
  Uuid remotePeerID_;
  Uuid askingPeerID_;
  Description description_;
};

}  // namespace ombrelia
