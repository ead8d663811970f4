#include "analytics/AnalyticsInitMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

namespace ombrelia {

AnalyticsInitMessage::AnalyticsInitMessage(std::string key, std::shared_ptr<const InitMetrics> data)
    : key_(std::move(key)), data_(data ? std::move(data) : std::make_shared<const InitMetrics>()) {}

platform::JsonWriteResult AnalyticsInitMessage::encode() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["type"] = type_;
  object["key"] = key_;
  object["data"] = data_->toJSON();
  return platform::JsonWriter::write(object);
}

}  // namespace ombrelia
