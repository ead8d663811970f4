#include "protocol/InitMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<InitMessage> InitMessageReader::readJSON(std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<InitMessage> InitMessageReader::readJSON(const platform::JsonReader& object) const {
  auto message = InitMessage::decode(object);
  if (!message || message->type() != "uuid") return std::nullopt;
  return message;
}

}  // namespace ombrelia
