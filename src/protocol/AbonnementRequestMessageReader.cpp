#include "protocol/AbonnementRequestMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<AbonnementRequestMessage> AbonnementRequestMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<AbonnementRequestMessage> AbonnementRequestMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = AbonnementRequestMessage::decode(object);
  if (!message || message->type() != AbonnementRequestMessage::typeString) return std::nullopt;
  return message;
}

}  // namespace ombrelia
