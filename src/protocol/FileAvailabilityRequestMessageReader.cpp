#include "protocol/FileAvailabilityRequestMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<FileAvailabilityRequestMessage> FileAvailabilityRequestMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<FileAvailabilityRequestMessage> FileAvailabilityRequestMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = FileAvailabilityRequestMessage::decode(object);
  if (!message || message->type() != FileAvailabilityRequestMessage::typeString)
    return std::nullopt;
  return message;
}

}  // namespace ombrelia
