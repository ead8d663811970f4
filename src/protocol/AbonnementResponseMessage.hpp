#pragma once
// Any thread: an immutable value.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/JsonReader.hpp"
#include "platform/JsonWriter.hpp"
#include "platform/Uuid.hpp"

namespace ombrelia {

// "aboResponse": accepts or refuses a subscription request.
class AbonnementResponseMessage {
 public:
  static constexpr std::string_view typeString = "aboResponse";

  AbonnementResponseMessage(std::string type, Uuid requestID, bool success);

  // The fields of a JSON object; absent when one breaks the rules. "type" is read as any text.
  static std::optional<AbonnementResponseMessage> decode(const platform::JsonReader& object);
  // "type" first, then the fields in declaration order, "requestID" last in lower case.
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }
  const Uuid& requestID() const { return requestID_; }
  bool success() const { return success_; }

  friend bool operator==(const AbonnementResponseMessage&,
                         const AbonnementResponseMessage&) = default;

 private:
  std::string type_;
  Uuid requestID_;
  bool success_;
};

}  // namespace ombrelia
