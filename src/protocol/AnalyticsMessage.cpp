#include "protocol/AnalyticsMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

#include "protocol/AnalyticsEnvelope.hpp"

namespace ombrelia {

AnalyticsMessage::AnalyticsMessage(std::string key, std::shared_ptr<const PlayerMetrics> data)
    : key_(std::move(key)),
      data_(data ? std::move(data) : std::make_shared<const PlayerMetrics>()) {}

platform::JsonWriteResult AnalyticsMessage::encode() const {
  return AnalyticsEnvelope::encode(type_, key_, data_->toJSON());
}

std::optional<AnalyticsMessage> AnalyticsMessage::decode(std::string_view text) {
  auto decoded = AnalyticsEnvelope::decode<PlayerMetrics>(text);
  if (!decoded) return std::nullopt;
  AnalyticsMessage message(std::move(decoded->key),
                 std::make_shared<const PlayerMetrics>(std::move(decoded->data)));
  message.type_ = std::move(decoded->type);
  return message;
}

}  // namespace ombrelia
