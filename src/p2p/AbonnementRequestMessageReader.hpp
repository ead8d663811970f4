#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "p2p/AbonnementRequestMessage.hpp"

namespace ombrelia {

// Turns a received text into a AbonnementRequestMessage when it is one; never throws, never logs.
class AbonnementRequestMessageReader {
 public:
  std::optional<AbonnementRequestMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
