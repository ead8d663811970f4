#include "protocol/AbonnementResponseMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

AbonnementResponseMessage::AbonnementResponseMessage(std::string type, Uuid requestID, bool success)
    : type_(std::move(type)), requestID_(std::move(requestID)), success_(success) {}

std::optional<AbonnementResponseMessage> AbonnementResponseMessage::decode(
    const platform::JsonReader& object) {
  auto type = object.string("type");
  auto requestID = object.uuid("requestID");
  auto success = object.boolean("success");
  if (!type || !requestID || !success) return std::nullopt;
  return AbonnementResponseMessage(std::move(*type), std::move(*requestID), *success);
}

platform::JsonWriteResult AbonnementResponseMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  object["success"] = success_;
  object["requestID"] = requestID_.lowercaseString();
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
