#include "protocol/ConnectionProofMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

ConnectionProofMessage::ConnectionProofMessage(std::string type, Uuid from, Uuid to,
                                               int64_t identities)
    : type_(std::move(type)), from_(from), to_(to), identities_(identities) {}

std::optional<ConnectionProofMessage> ConnectionProofMessage::decode(
    const platform::JsonReader& object) {
  auto type = object.string("type");
  const auto from = object.uuid("from");
  const auto to = object.uuid("to");
  const auto identities = object.int64("identities");
  if (!type || !from || !to || !identities) return std::nullopt;
  if (*identities < 1 || *identities > kMaxIdentities) return std::nullopt;
  return ConnectionProofMessage(std::move(*type), *from, *to, *identities);
}

platform::JsonWriteResult ConnectionProofMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  object["from"] = from_.lowercaseString();
  object["to"] = to_.lowercaseString();
  object["identities"] = identities_;
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
