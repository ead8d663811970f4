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

// "mi": the chain of subscriptions feeding the sender, so that the receiver can notice that it
// feeds itself. The chain is peer names of eight hexadecimal digits joined by "|".
class PeerChainMessage {
 public:
  // Chains come from peers and grow by two names per hop; 4 KiB holds about 400 names, far
  // more than any real subscription chain, and keeps a hostile peer from growing it forever.
  static constexpr size_t kMaxChainBytes = 4096;

  static constexpr std::string_view typeString = "mi";

  PeerChainMessage(std::string type, Uuid ri, std::string mi);

  // The fields of a JSON object; absent when one breaks the rules. "type" is read as any text.
  static std::optional<PeerChainMessage> decode(const platform::JsonReader& object);
  // "type" first, then the fields in declaration order, "ri" last in lower case.
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }
  const Uuid& ri() const { return ri_; }
  const std::string& mi() const { return mi_; }

  friend bool operator==(const PeerChainMessage&, const PeerChainMessage&) = default;

 private:
  std::string type_;
  Uuid ri_;
  std::string mi_;
};

}  // namespace ombrelia
