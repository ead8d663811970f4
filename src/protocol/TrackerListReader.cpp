#include "protocol/TrackerListReader.hpp"

#include "platform/JsonReader.hpp"

namespace ombrelia {

std::optional<TrackerList> TrackerListReader::readJSON(std::string_view jsonString) const {
  auto object = platform::JsonReader::parse(jsonString);
  if (!object) return std::nullopt;
  return readJSON(*object);
}

std::optional<TrackerList> TrackerListReader::readJSON(const platform::JsonReader& object) const {
  auto message = TrackerList::decode(object);
  if (!message || message->type() != "trackerList") return std::nullopt;
  return message;
}

}  // namespace ombrelia
