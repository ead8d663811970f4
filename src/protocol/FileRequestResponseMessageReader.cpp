#include "protocol/FileRequestResponseMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<FileRequestResponseMessage> FileRequestResponseMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<FileRequestResponseMessage> FileRequestResponseMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = FileRequestResponseMessage::decode(object);
  if (!message || message->type() != FileRequestResponseMessage::typeString) return std::nullopt;
  return message;
}

}  // namespace ombrelia
