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

// "connectionProof": what one side of a peer connection states, once, over the opened channel:
// the personal identifier it had when the connection was negotiated ("from"), the identifier it
// filed the other side under ("to"), and how many personal identifiers it had had by then
// ("identities"). The channel runs over the DTLS session, so whoever only forwards the
// negotiation can neither read nor change it. Peers that speak only the original protocol
// ignore it, as they ignore every text no reader of theirs takes.
class ConnectionProofMessage {
 public:
  static constexpr std::string_view typeString = "connectionProof";
  // Every JSON reader keeps integers up to 2^53 exact, and two such counts add up without
  // overflow; a side has one identifier per signalling connection, far fewer in any lifetime.
  static constexpr int64_t kMaxIdentities = (int64_t{1} << 53) - 1;

  ConnectionProofMessage(std::string type, Uuid from, Uuid to, int64_t identities);

  // The fields of a JSON object; absent when one breaks the rules (a count below 1 or above
  // kMaxIdentities among them). "type" is read as any text.
  static std::optional<ConnectionProofMessage> decode(const platform::JsonReader& object);
  // "type" first, then "from", "to" in lower case and "identities".
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }
  const Uuid& from() const { return from_; }
  const Uuid& to() const { return to_; }
  int64_t identities() const { return identities_; }

  friend bool operator==(const ConnectionProofMessage&, const ConnectionProofMessage&) = default;

 private:
  std::string type_;
  Uuid from_;
  Uuid to_;
  int64_t identities_;
};

}  // namespace ombrelia
