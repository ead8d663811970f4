#include "protocol/FileAvailabilityResponseMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<FileAvailabilityResponseMessage> FileAvailabilityResponseMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<FileAvailabilityResponseMessage> FileAvailabilityResponseMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = FileAvailabilityResponseMessage::decode(object);
  if (!message || message->type() != FileAvailabilityResponseMessage::typeString)
    return std::nullopt;
  return message;
}

}  // namespace ombrelia
