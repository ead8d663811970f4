#include "analytics/AnalyticsMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

#include "analytics/RecordReader.hpp"

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

std::optional<AnalyticsMessage> AnalyticsMessage::decode(std::string_view text) {
  const auto document = nlohmann::ordered_json::parse(text, nullptr, false);
  RecordReader reader(document);
  std::string type;
  std::string key;
  reader.read("type", type);
  reader.read("key", key);
  const auto* data = reader.object("data");
  if (!reader.ok() || data == nullptr) return std::nullopt;
  auto record = PlayerMetrics::fromJSON(*data);
  if (!record) return std::nullopt;
  AnalyticsMessage message(std::move(key),
                           std::make_shared<const PlayerMetrics>(std::move(*record)));
  message.type_ = std::move(type);
  return message;
}

}  // namespace ombrelia
