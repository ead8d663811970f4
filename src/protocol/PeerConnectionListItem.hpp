#pragma once
// Any thread: an immutable value.

#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "platform/JsonReader.hpp"
#include "platform/Uuid.hpp"

namespace ombrelia {

// One change of a "peerConnectedModif" list; only "delete" is acted upon.
class PeerConnectionListItem {
 public:
  PeerConnectionListItem(std::string modification, Uuid uuid);

  static std::optional<PeerConnectionListItem> decode(const platform::JsonReader& object);
  // The JSON object of the item, identifier in upper case.
  nlohmann::ordered_json toJSON() const;

  const std::string& modification() const { return modification_; }
  const Uuid& uuid() const { return uuid_; }

  friend bool operator==(const PeerConnectionListItem&, const PeerConnectionListItem&) = default;

 private:
  std::string modification_;
  Uuid uuid_;
};

}  // namespace ombrelia
