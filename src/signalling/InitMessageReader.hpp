#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "signalling/InitMessage.hpp"

namespace ombrelia {

// Turns a received text into a InitMessage when it is one; never throws, never logs.
class InitMessageReader {
 public:
  std::optional<InitMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
