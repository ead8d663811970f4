#include "protocol/TransferDescriptionMessage.hpp"

#include <utility>

namespace ombrelia {

TransferDescriptionMessage::TransferDescriptionMessage(std::string type, Uuid remotePeerID,
                                                       Uuid askingPeerID, Description description)
    : type_(std::move(type)),
      remotePeerID_(remotePeerID),
      askingPeerID_(askingPeerID),
      description_(std::move(description)) {}

std::optional<TransferDescriptionMessage> TransferDescriptionMessage::decode(
    const platform::JsonReader& object) {
  auto type = object.string("type");
  auto remotePeerID = object.uuid("remotePeerID");
  auto askingPeerID = object.uuid("askingPeerID");
  auto nested = object.object("description");
  if (!type || !remotePeerID || !askingPeerID || !nested) return std::nullopt;
  auto description = Description::decode(*nested);
  if (!description) return std::nullopt;
  return TransferDescriptionMessage(std::move(*type), *remotePeerID, *askingPeerID,
                                    std::move(*description));
}

}  // namespace ombrelia
