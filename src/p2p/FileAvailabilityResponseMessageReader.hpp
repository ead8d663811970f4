#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "p2p/FileAvailabilityResponseMessage.hpp"

namespace ombrelia {

// Turns a received text into a FileAvailabilityResponseMessage when it is one; never throws, never
// logs.
class FileAvailabilityResponseMessageReader {
 public:
  std::optional<FileAvailabilityResponseMessage> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
