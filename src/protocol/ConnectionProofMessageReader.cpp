#include "protocol/ConnectionProofMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<ConnectionProofMessage> ConnectionProofMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<ConnectionProofMessage> ConnectionProofMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = ConnectionProofMessage::decode(object);
  if (!message || message->type() != ConnectionProofMessage::typeString) return std::nullopt;
  return message;
}

}  // namespace ombrelia
