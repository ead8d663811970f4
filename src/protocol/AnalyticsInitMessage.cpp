#include "protocol/AnalyticsInitMessage.hpp"

#include <utility>

#include <nlohmann/json.hpp>

#include "protocol/AnalyticsEnvelope.hpp"

namespace ombrelia {

AnalyticsInitMessage::AnalyticsInitMessage(std::string key, std::shared_ptr<const InitMetrics> data)
    : key_(std::move(key)), data_(data ? std::move(data) : std::make_shared<const InitMetrics>()) {}

platform::JsonWriteResult AnalyticsInitMessage::encode() const {
  return AnalyticsEnvelope::encode(type_, key_, data_->toJSON());
}

std::optional<AnalyticsInitMessage> AnalyticsInitMessage::decode(std::string_view text) {
  auto decoded = AnalyticsEnvelope::decode<InitMetrics>(text);
  if (!decoded) return std::nullopt;
  AnalyticsInitMessage message(std::move(decoded->key),
                 std::make_shared<const InitMetrics>(std::move(decoded->data)));
  message.type_ = std::move(decoded->type);
  return message;
}

}  // namespace ombrelia
