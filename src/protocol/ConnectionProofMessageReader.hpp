#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "platform/JsonReader.hpp"
#include "protocol/ConnectionProofMessage.hpp"

namespace ombrelia {

// Turns a received text into a ConnectionProofMessage when it is one; never throws, never logs.
class ConnectionProofMessageReader {
 public:
  std::optional<ConnectionProofMessage> readJSON(std::string_view jsonString) const;
  // The same for a text parsed already: a dispatcher parses each text once for all its readers.
  std::optional<ConnectionProofMessage> readJSON(const platform::JsonReader& object) const;
};

}  // namespace ombrelia
