#include "protocol/PeerConnectionMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

PeerConnectionMessage::PeerConnectionMessage(std::string type,
                                             std::vector<PeerConnectionListItem> list)
    : type_(std::move(type)), list_(std::move(list)) {}

std::optional<PeerConnectionMessage> PeerConnectionMessage::decode(
    const platform::JsonReader& object) {
  auto type = object.string("type");
  auto elements = object.objects("list");
  if (!type || !elements) return std::nullopt;
  std::vector<PeerConnectionListItem> list;
  list.reserve(elements->size());
  for (const auto& element : *elements) {
    auto item = PeerConnectionListItem::decode(element);
    if (!item) return std::nullopt;
    list.push_back(std::move(*item));
  }
  return PeerConnectionMessage(std::move(*type), std::move(list));
}

platform::JsonWriteResult PeerConnectionMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  nlohmann::ordered_json items = nlohmann::ordered_json::array();
  for (const auto& item : list_) items.push_back(item.toJSON());
  object["list"] = std::move(items);
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
