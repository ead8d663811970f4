#include "protocol/TransferDescriptionMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<TransferDescriptionMessage> TransferDescriptionMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<TransferDescriptionMessage> TransferDescriptionMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = TransferDescriptionMessage::decode(object);
  if (!message || message->type() != "transfer") return std::nullopt;
  return message;
}

}  // namespace ombrelia
