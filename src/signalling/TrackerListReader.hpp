#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "signalling/TrackerList.hpp"

namespace ombrelia {

// Turns a received text into a TrackerList when it is one; never throws, never logs.
class TrackerListReader {
 public:
  std::optional<TrackerList> readJSON(std::string_view jsonString) const;
};

}  // namespace ombrelia
