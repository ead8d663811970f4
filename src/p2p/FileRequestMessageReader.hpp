#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "p2p/FileRequestMessage.hpp"

namespace ombrelia {

// Turns a received text into a FileRequestMessage when it is one; never throws, never logs.
class FileRequestMessageReader {
 public:
  std::optional<FileRequestMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
