#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "signalling/PeerConnectionMessage.hpp"

namespace ombrelia {

// Turns a received text into a PeerConnectionMessage when it is one; never throws, never logs.
class PeerConnectionMessageReader {
 public:
  std::optional<PeerConnectionMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
