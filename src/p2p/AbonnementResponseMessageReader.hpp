#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "p2p/AbonnementResponseMessage.hpp"

namespace ombrelia {

// Turns a received text into a AbonnementResponseMessage when it is one; never throws, never logs.
class AbonnementResponseMessageReader {
 public:
  std::optional<AbonnementResponseMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
