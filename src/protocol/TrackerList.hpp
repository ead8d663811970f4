#pragma once
// Any thread: an immutable value.

#include <optional>
#include <string>
#include <vector>

#include <ombrelia/Url.hpp>

#include "platform/JsonReader.hpp"
#include "platform/JsonWriter.hpp"

namespace ombrelia {

// "trackerList": the signalling servers the transport is to use from now on, in their order.
class TrackerList {
 public:
  TrackerList(std::string type, std::vector<Url> data);

  // Every element of "data" must be a string that parses as a URL, else the whole is refused.
  static std::optional<TrackerList> decode(const platform::JsonReader& object);
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }
  const std::vector<Url>& data() const { return data_; }

  friend bool operator==(const TrackerList&, const TrackerList&) = default;

 private:
  std::string type_;
  std::vector<Url> data_;
};

}  // namespace ombrelia
