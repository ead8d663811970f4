#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "signalling/TransferDescriptionMessage.hpp"

namespace ombrelia {

// Turns a received text into a TransferDescriptionMessage when it is one; never throws, never logs.
class TransferDescriptionMessageReader {
 public:
  std::optional<TransferDescriptionMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
