#include "protocol/FileRequestStopMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

FileRequestStopMessage::FileRequestStopMessage(std::string type, Uuid requestID)
    : type_(std::move(type)), requestID_(std::move(requestID)) {}

std::optional<FileRequestStopMessage> FileRequestStopMessage::decode(
    const platform::JsonReader& object) {
  auto type = object.string("type");
  auto requestID = object.uuid("requestID");
  if (!type || !requestID) return std::nullopt;
  return FileRequestStopMessage(std::move(*type), std::move(*requestID));
}

platform::JsonWriteResult FileRequestStopMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  object["requestID"] = requestID_.lowercaseString();
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
