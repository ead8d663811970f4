#include "protocol/PeerChainMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<PeerChainMessage> PeerChainMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<PeerChainMessage> PeerChainMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = PeerChainMessage::decode(object);
  if (!message || message->type() != PeerChainMessage::typeString) return std::nullopt;
  return message;
}

}  // namespace ombrelia
