#include "protocol/FileRequestEndMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<FileRequestEndMessage> FileRequestEndMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<FileRequestEndMessage> FileRequestEndMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = FileRequestEndMessage::decode(object);
  if (!message || message->type() != FileRequestEndMessage::typeString) return std::nullopt;
  return message;
}

}  // namespace ombrelia
