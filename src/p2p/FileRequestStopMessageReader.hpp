#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "p2p/FileRequestStopMessage.hpp"

namespace ombrelia {

// Turns a received text into a FileRequestStopMessage when it is one; never throws, never logs.
class FileRequestStopMessageReader {
 public:
  std::optional<FileRequestStopMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
