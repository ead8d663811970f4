#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "signalling/TransferCandidateMessage.hpp"

namespace ombrelia {

// Turns a received text into a TransferCandidateMessage when it is one; never throws, never logs.
class TransferCandidateMessageReader {
 public:
  std::optional<TransferCandidateMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
