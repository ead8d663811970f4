#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "p2p/FileAvailabilityRequestMessage.hpp"

namespace ombrelia {

// Turns a received text into a FileAvailabilityRequestMessage when it is one; never throws, never
// logs.
class FileAvailabilityRequestMessageReader {
 public:
  std::optional<FileAvailabilityRequestMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
