#pragma once
// Any thread: a plain value.

#include <string>

#include "protocol/SdpType.hpp"

namespace ombrelia {

class TransferDescriptionMessage;

// The local form of a session description.
struct SessionDescription {
  SessionDescription(std::string sdp, SdpType type);
  // A received description; a type text outside the four raw values counts as an offer.
  explicit SessionDescription(const TransferDescriptionMessage& message);

  std::string sdp;
  SdpType type;

  friend bool operator==(const SessionDescription&, const SessionDescription&) = default;
};

}  // namespace ombrelia
