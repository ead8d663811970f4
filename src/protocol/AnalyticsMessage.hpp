#pragma once
// Any thread: an immutable envelope; its record is encoded on the thread that posts it.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/JsonWriter.hpp"
#include "protocol/PlayerMetrics.hpp"

namespace ombrelia {

// The "analytics" envelope of the metrics record of one reporting interval.
class AnalyticsMessage {
 public:
  AnalyticsMessage(std::string key, std::shared_ptr<const PlayerMetrics> data);

  const std::string& type() const { return type_; }
  const std::string& key() const { return key_; }
  const std::shared_ptr<const PlayerMetrics>& data() const { return data_; }

  // "type", "key", "data" in that order; fails as a whole when any value cannot be written.
  platform::JsonWriteResult encode() const;
  // The three keys required, "type" any text; none when the text is not such an object.
  static std::optional<AnalyticsMessage> decode(std::string_view text);

 private:
  std::string type_ = "analytics";
  std::string key_;
  std::shared_ptr<const PlayerMetrics> data_;
};

}  // namespace ombrelia
