#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "p2p/FileRequestEndMessage.hpp"

namespace ombrelia {

// Turns a received text into a FileRequestEndMessage when it is one; never throws, never logs.
class FileRequestEndMessageReader {
 public:
  std::optional<FileRequestEndMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
