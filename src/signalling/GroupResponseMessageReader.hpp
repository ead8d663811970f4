#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "signalling/GroupResponseMessage.hpp"

namespace ombrelia {

// Turns a received text into a GroupResponseMessage when it is one; never throws, never logs.
class GroupResponseMessageReader {
 public:
  std::optional<GroupResponseMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
