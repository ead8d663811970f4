#include "protocol/PeerConnectionMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<PeerConnectionMessage> PeerConnectionMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<PeerConnectionMessage> PeerConnectionMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = PeerConnectionMessage::decode(object);
  if (!message || message->type() != "peerConnectedModif") return std::nullopt;
  return message;
}

}  // namespace ombrelia
