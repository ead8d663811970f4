#include "protocol/FileRequestMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<FileRequestMessage> FileRequestMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<FileRequestMessage> FileRequestMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = FileRequestMessage::decode(object);
  if (!message || message->type() != FileRequestMessage::typeString) return std::nullopt;
  return message;
}

}  // namespace ombrelia
