#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "p2p/NotifyFirstMessage.hpp"

namespace ombrelia {

// Turns a received text into a NotifyFirstMessage when it is one; never throws, never logs.
class NotifyFirstMessageReader {
 public:
  std::optional<NotifyFirstMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
