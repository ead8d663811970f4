#include "analytics/AnalyticsMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

AnalyticsMessage::AnalyticsMessage(std::string key, std::shared_ptr<const PlayerMetrics> data)
    : key_(std::move(key)),
      data_(data ? std::move(data) : std::make_shared<const PlayerMetrics>()) {}

platform::JsonWriteResult AnalyticsMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  object["key"] = key_;
  object["data"] = data_->toJSON();
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
