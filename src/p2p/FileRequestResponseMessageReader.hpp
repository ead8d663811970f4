#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "p2p/FileRequestResponseMessage.hpp"

namespace ombrelia {

// Turns a received text into a FileRequestResponseMessage when it is one; never throws, never logs.
class FileRequestResponseMessageReader {
 public:
  std::optional<FileRequestResponseMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
