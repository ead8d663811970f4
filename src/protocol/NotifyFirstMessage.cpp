#include "protocol/NotifyFirstMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

NotifyFirstMessage::NotifyFirstMessage(std::string type) : type_(std::move(type)) {}

std::optional<NotifyFirstMessage> NotifyFirstMessage::decode(const platform::JsonReader& object) {
  auto type = object.string("type");
  if (!type) return std::nullopt;
  return NotifyFirstMessage(std::move(*type));
}

platform::JsonWriteResult NotifyFirstMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
