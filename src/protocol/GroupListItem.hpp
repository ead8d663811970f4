#pragma once
// Any thread: an immutable value.

#include <optional>
#include <string>

#include "platform/JsonReader.hpp"
#include "platform/Uuid.hpp"

namespace ombrelia {

// One element of a group list: a peer to add or delete, with the service's proximity flags.
class GroupListItem {
 public:
  GroupListItem(std::string modification, Uuid uuid, double joinDate, bool sameIP, bool sameCountry,
                bool sameRegion, bool sameCity);

  static std::optional<GroupListItem> decode(const platform::JsonReader& object);

  const std::string& modification() const { return modification_; }
  const Uuid& uuid() const { return uuid_; }
  double joinDate() const { return joinDate_; }
  bool sameIP() const { return sameIP_; }
  bool sameCountry() const { return sameCountry_; }
  bool sameRegion() const { return sameRegion_; }
  bool sameCity() const { return sameCity_; }

  friend bool operator==(const GroupListItem&, const GroupListItem&) = default;

 private:
  std::string modification_;
  Uuid uuid_;
  double joinDate_;
  bool sameIP_;
  bool sameCountry_;
  bool sameRegion_;
  bool sameCity_;
};

}  // namespace ombrelia
