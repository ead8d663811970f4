#include "protocol/AbonnementResponseMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<AbonnementResponseMessage> AbonnementResponseMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<AbonnementResponseMessage> AbonnementResponseMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = AbonnementResponseMessage::decode(object);
  if (!message || message->type() != AbonnementResponseMessage::typeString) return std::nullopt;
  return message;
}

}  // namespace ombrelia
