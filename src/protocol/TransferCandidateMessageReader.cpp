#include "protocol/TransferCandidateMessageReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<TransferCandidateMessage> TransferCandidateMessageReader::readJSON(
    std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<TransferCandidateMessage> TransferCandidateMessageReader::readJSON(
    const platform::JsonReader& object) const {
  auto message = TransferCandidateMessage::decode(object);
  if (!message || message->type() != "transfer") return std::nullopt;
  return message;
}

}  // namespace ombrelia
