#include "protocol/GroupResponseMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<GroupResponseMessage> GroupResponseMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<GroupResponseMessage> GroupResponseMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = GroupResponseMessage::decode(object);
  if (!message || message->type() != "groupResponse") return std::nullopt;
  return message;
}

}  // namespace ombrelia
