#include "protocol/GroupListItem.hpp"

#include <utility>

namespace ombrelia {

GroupListItem::GroupListItem(std::string modification, Uuid uuid, double joinDate, bool sameIP,
                             bool sameCountry, bool sameRegion, bool sameCity)
    : modification_(std::move(modification)),
      uuid_(uuid),
      joinDate_(joinDate),
      sameIP_(sameIP),
      sameCountry_(sameCountry),
      sameRegion_(sameRegion),
      sameCity_(sameCity) {}

std::optional<GroupListItem> GroupListItem::decode(const platform::JsonReader& object) {
  auto modification = object.string("modification");
  auto uuid = object.uuid("uuid");
  auto joinDate = object.number("joinDate");
  auto sameIP = object.boolean("sameIP");
  auto sameCountry = object.boolean("sameCountry");
  auto sameRegion = object.boolean("sameRegion");
  auto sameCity = object.boolean("sameCity");
  if (!modification || !uuid || !joinDate || !sameIP || !sameCountry || !sameRegion || !sameCity) {
    return std::nullopt;
  }
  return GroupListItem(std::move(*modification), *uuid, *joinDate, *sameIP, *sameCountry,
                       *sameRegion, *sameCity);
}

}  // namespace ombrelia
