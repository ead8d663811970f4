#include "protocol/InitMetrics.hpp"

#include <nlohmann/json.hpp>

#include "protocol/RecordReader.hpp"

namespace ombrelia {

void InitMetrics::reset() {
  timestamp_.clear();
  video_id_.clear();
  collection_.clear();
  new_client_uuid_.clear();
  new_client_number_ = 1;
}

nlohmann::ordered_json InitMetrics::toJSON() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["timestamp"] = timestamp_;
  object["video_id"] = video_id_;
  object["collection"] = collection_;
  object["new_client_uuid"] = new_client_uuid_;
  object["new_client_number"] = new_client_number_;
  return object;
}

std::optional<InitMetrics> InitMetrics::fromJSON(const nlohmann::ordered_json& object) {
  RecordReader reader(object);
  InitMetrics record;
  reader.read("timestamp", record.timestamp_);
  reader.read("video_id", record.video_id_);
  reader.read("collection", record.collection_);
  reader.read("new_client_uuid", record.new_client_uuid_);
  reader.read("new_client_number", record.new_client_number_);
  if (!reader.ok()) return std::nullopt;
  return record;
}

}  // namespace ombrelia
