#include "protocol/NotifyFirstMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<NotifyFirstMessage> NotifyFirstMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<NotifyFirstMessage> NotifyFirstMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = NotifyFirstMessage::decode(object);
  if (!message || message->type() != "notifyFirst") return std::nullopt;
  return message;
}

}  // namespace ombrelia
