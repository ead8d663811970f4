#pragma once
// Any thread: an immutable value.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/JsonReader.hpp"
#include "platform/JsonWriter.hpp"

namespace ombrelia {

// "notifyFirst": defined by the protocol, but nothing builds, sends or reads it.
class NotifyFirstMessage {
 public:
  explicit NotifyFirstMessage(std::string type);

  // The fields of a JSON object; absent when one breaks the rules. "type" is read as any text.
  static std::optional<NotifyFirstMessage> decode(const platform::JsonReader& object);
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }

  friend bool operator==(const NotifyFirstMessage&, const NotifyFirstMessage&) = default;

 private:
  std::string type_;
};

}  // namespace ombrelia
