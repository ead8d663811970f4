#include "protocol/AbonnementRequestMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

AbonnementRequestMessage::AbonnementRequestMessage(std::string type, Uuid requestID,
                                                   int64_t resource)
    : type_(std::move(type)), requestID_(std::move(requestID)), resource_(resource) {}

std::optional<AbonnementRequestMessage> AbonnementRequestMessage::decode(
    const platform::JsonReader& object) {
  auto type = object.string("type");
  auto requestID = object.uuid("requestID");
  auto resource = object.int64("resource");
  if (!type || !requestID || !resource) return std::nullopt;
  return AbonnementRequestMessage(std::move(*type), std::move(*requestID), *resource);
}

platform::JsonWriteResult AbonnementRequestMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  object["resource"] = resource_;
  object["requestID"] = requestID_.lowercaseString();
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
