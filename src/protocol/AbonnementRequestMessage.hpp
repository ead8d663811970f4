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

// "aboRequest": asks the chosen peer for a subscription.
class AbonnementRequestMessage {
 public:
  static constexpr std::string_view typeString = "aboRequest";

  AbonnementRequestMessage(std::string type, Uuid requestID, int64_t resource);

  // The fields of a JSON object; absent when one breaks the rules. "type" is read as any text.
  static std::optional<AbonnementRequestMessage> decode(const platform::JsonReader& object);
  // "type" first, then the fields in declaration order, "requestID" last in lower case.
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }
  const Uuid& requestID() const { return requestID_; }
  int64_t resource() const { return resource_; }

  friend bool operator==(const AbonnementRequestMessage&,
                         const AbonnementRequestMessage&) = default;

 private:
  std::string type_;
  Uuid requestID_;
  int64_t resource_;
};

}  // namespace ombrelia
