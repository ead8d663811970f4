#include "protocol/GroupResponseMessage.hpp"

#include <utility>

namespace ombrelia {

GroupResponseMessage::GroupResponseMessage(std::string type, Uuid group, double joinDate,
                                           std::vector<GroupListItem> list,
                                           SendableSegments sendableSegments)
    : type_(std::move(type)),
      group_(group),
      joinDate_(joinDate),
      list_(std::move(list)),
      sendableSegments_(sendableSegments) {}

std::optional<GroupResponseMessage> GroupResponseMessage::decode(
    const platform::JsonReader& object) {
  auto type = object.string("type");
  auto group = object.uuid("group");
  auto joinDate = object.number("joinDate");
  auto elements = object.objects("list");
  // A record without fields decodes from an object; the service sends one.
  auto sendableSegments = object.object("sendableSegments");
  if (!type || !group || !joinDate || !elements || !sendableSegments) return std::nullopt;
  std::vector<GroupListItem> list;
  list.reserve(elements->size());
  for (const auto& element : *elements) {
    auto item = GroupListItem::decode(element);
    if (!item) return std::nullopt;
    list.push_back(std::move(*item));
  }
  return GroupResponseMessage(std::move(*type), *group, *joinDate, std::move(list),
                              SendableSegments{});
}

}  // namespace ombrelia
