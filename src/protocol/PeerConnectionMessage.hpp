#pragma once
// Any thread: an immutable value.

#include <optional>
#include <string>
#include <vector>

#include "platform/JsonReader.hpp"
#include "platform/JsonWriter.hpp"
#include "protocol/PeerConnectionListItem.hpp"

namespace ombrelia {

// "peerConnectedModif": changes to the connections of group peers, in the order given.
class PeerConnectionMessage {
 public:
  PeerConnectionMessage(std::string type, std::vector<PeerConnectionListItem> list);

  // One unreadable element refuses the whole; no element is skipped.
  static std::optional<PeerConnectionMessage> decode(const platform::JsonReader& object);
  platform::JsonWriteResult encode() const;

  const std::string& type() const { return type_; }
  const std::vector<PeerConnectionListItem>& list() const { return list_; }

  friend bool operator==(const PeerConnectionMessage&, const PeerConnectionMessage&) = default;

 private:
  std::string type_;
  std::vector<PeerConnectionListItem> list_;
};

}  // namespace ombrelia
