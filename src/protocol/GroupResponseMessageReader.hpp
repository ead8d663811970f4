#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "platform/JsonReader.hpp"
#include "protocol/GroupResponseMessage.hpp"

namespace ombrelia {

// Turns a received text into a GroupResponseMessage when it is one; never throws, never logs.
class GroupResponseMessageReader {
 public:
  std::optional<GroupResponseMessage> readJSON(std::string_view jsonString) const;
  // The same for a text parsed already: a dispatcher parses each text once for all its readers.
  std::optional<GroupResponseMessage> readJSON(const platform::JsonReader& object) const;
};

}  // namespace ombrelia
