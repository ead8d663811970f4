#include "protocol/PeerConnectionListItem.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

PeerConnectionListItem::PeerConnectionListItem(std::string modification, Uuid uuid)
    : modification_(std::move(modification)), uuid_(uuid) {}

std::optional<PeerConnectionListItem> PeerConnectionListItem::decode(
    const platform::JsonReader& object) {
  auto modification = object.string("modification");
  auto uuid = object.uuid("uuid");
  if (!modification || !uuid) return std::nullopt;
  return PeerConnectionListItem(std::move(*modification), *uuid);
}

nlohmann::ordered_json PeerConnectionListItem::toJSON() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["modification"] = modification_;
  object["uuid"] = uuid_.uuidString();
  return object;
}

}  // namespace ombrelia
