#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "p2p/PeerChainMessage.hpp"

namespace ombrelia {

// Turns a received text into a PeerChainMessage when it is one; never throws, never logs.
class PeerChainMessageReader {
 public:
  std::optional<PeerChainMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
