#include "protocol/InitMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

InitMessage::InitMessage(std::string type, Uuid uuid) : type_(std::move(type)), uuid_(uuid) {}

std::optional<InitMessage> InitMessage::decode(const platform::JsonReader& object) {
  auto type = object.string("type");
  auto uuid = object.uuid("uuid");
  if (!type || !uuid) return std::nullopt;
  return InitMessage(std::move(*type), *uuid);
}

platform::JsonWriteResult InitMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  object["uuid"] = uuid_.uuidString();
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
