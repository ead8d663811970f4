#pragma once
// Any thread: an immutable value.

#include <optional>
#include <string>
#include <vector>

#include "platform/JsonReader.hpp"
#include "platform/Uuid.hpp"
#include "protocol/GroupListItem.hpp"
#include "protocol/SendableSegments.hpp"

namespace ombrelia {

// "groupResponse": the peers to add to or delete from the group, in the order to apply them.
class GroupResponseMessage {
 public:
  GroupResponseMessage(std::string type, Uuid group, double joinDate,
                       std::vector<GroupListItem> list, SendableSegments sendableSegments);

  // Every key is required; "sendableSegments" must be an object, whose content is not read.
  static std::optional<GroupResponseMessage> decode(const platform::JsonReader& object);

  const std::string& type() const { return type_; }
  const Uuid& group() const { return group_; }
  double joinDate() const { return joinDate_; }
  const std::vector<GroupListItem>& list() const { return list_; }
  const SendableSegments& sendableSegments() const { return sendableSegments_; }

  friend bool operator==(const GroupResponseMessage&, const GroupResponseMessage&) = default;

 private:
  std::string type_;
  Uuid group_;
  double joinDate_;
  std::vector<GroupListItem> list_;
  SendableSegments sendableSegments_;
};

}  // namespace ombrelia
