#include "protocol/FileRequestStopMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<FileRequestStopMessage> FileRequestStopMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<FileRequestStopMessage> FileRequestStopMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = FileRequestStopMessage::decode(object);
  if (!message || message->type() != FileRequestStopMessage::typeString) return std::nullopt;
  return message;
}

}  // namespace ombrelia
