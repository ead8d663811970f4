#pragma once
// Any thread: an immutable value.

#include <optional>
#include <string>

#include "platform/JsonReader.hpp"
#include "platform/JsonWriter.hpp"
#include "platform/Uuid.hpp"

namespace ombrelia {

// "uuid": the personal identifier that the signalling service assigns to this client.
class InitMessage {
 public:
  InitMessage(std::string type, Uuid uuid);

  // The fields of a JSON object; absent when one breaks the rules. "type" is read as any text.
  static std::optional<InitMessage> decode(const platform::JsonReader& object);
  // The identifier in upper case, as the service's own form.
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }
  const Uuid& uuid() const { return uuid_; }

  friend bool operator==(const InitMessage&, const InitMessage&) = default;

 private:
  std::string type_;
  Uuid uuid_;
};

}  // namespace ombrelia
