#include "protocol/PeerChainMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

PeerChainMessage::PeerChainMessage(std::string type, Uuid ri, std::string mi)
    : type_(std::move(type)), ri_(std::move(ri)), mi_(std::move(mi)) {}

std::optional<PeerChainMessage> PeerChainMessage::decode(const platform::JsonReader& object) {
  auto type = object.string("type");
  auto ri = object.uuid("ri");
  auto mi = object.string("mi");
  if (!type || !ri || !mi) return std::nullopt;
  if (mi->size() > kMaxChainBytes) return std::nullopt;
  return PeerChainMessage(std::move(*type), std::move(*ri), std::move(*mi));
}

platform::JsonWriteResult PeerChainMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  object["mi"] = mi_;
  object["ri"] = ri_.lowercaseString();
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
