#pragma once
// Any thread: an immutable envelope; its record is encoded on the thread that posts it.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/JsonWriter.hpp"
#include "protocol/InitMetrics.hpp"

namespace ombrelia {

// The "analytics" envelope of the init record, sent once per analytics service.
class AnalyticsInitMessage {
 public:
  AnalyticsInitMessage(std::string key, std::shared_ptr<const InitMetrics> data);

  const std::string& type() const { return type_; }
  const std::string& key() const { return key_; }
  const std::shared_ptr<const InitMetrics>& data() const { return data_; }

  // Run by whoever sends the message once the tracker connection has taken its text; until
  // then the service sends the init record again at each report.
  const std::function<void()>& onTaken() const { return onTaken_; }
  void setOnTaken(std::function<void()> onTaken) { onTaken_ = std::move(onTaken); }

  // "type", "key", "data" in that order; fails as a whole when any value cannot be written.
  platform::JsonWriteResult encode() const;
  // The three keys required, "type" any text; none when the text is not such an object.
  static std::optional<AnalyticsInitMessage> decode(std::string_view text);

 private:
  std::string type_ = "analytics";
  std::string key_;
  std::shared_ptr<const InitMetrics> data_;
  std::function<void()> onTaken_;
};

}  // namespace ombrelia
