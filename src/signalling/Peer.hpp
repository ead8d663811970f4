#pragma once
// Any thread: a value record; copies share the WebRTC client.

#include <memory>
#include <optional>
#include <string>

#include "signalling/PeerType.hpp"

namespace ombrelia {

class WebRTCClient;

// A member of the group.
struct Peer {
  std::string uuid;
  std::optional<double> joinDate;
  std::optional<bool> sameIP;
  std::optional<bool> sameCountry;
  std::optional<bool> sameRegion;
  std::optional<bool> sameCity;
  std::shared_ptr<WebRTCClient> webRTCClient;

  PeerType getPeerType() const {
    if (sameIP.value_or(false))
      return PeerType::ip;
    if (sameCity.value_or(false))
      return PeerType::city;
    if (sameRegion.value_or(false))
      return PeerType::region;
    if (sameCountry.value_or(false))
      return PeerType::country;
    return PeerType::unknown;
  }
};

}  // namespace ombrelia
