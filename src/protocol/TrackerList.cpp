#include "protocol/TrackerList.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

TrackerList::TrackerList(std::string type, std::vector<Url> data)
    : type_(std::move(type)), data_(std::move(data)) {}

std::optional<TrackerList> TrackerList::decode(const platform::JsonReader& object) {
  auto type = object.string("type");
  auto texts = object.strings("data");
  if (!type || !texts) return std::nullopt;
  std::vector<Url> data;
  data.reserve(texts->size());
  for (const auto& text : *texts) {
    // Only absolute URLs with a host can name a server; a bare word is no tracker.
    auto url = Url::parseAbsolute(text);
    if (!url) return std::nullopt;
    data.push_back(std::move(*url));
  }
  return TrackerList(std::move(*type), std::move(data));
}

platform::JsonWriteResult TrackerList::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  nlohmann::ordered_json urls = nlohmann::ordered_json::array();
  for (const auto& url : data_) urls.push_back(url.toString());
  object["data"] = std::move(urls);
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
