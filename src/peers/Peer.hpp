#pragma once
// Any thread: a value record; copies share the WebRTC client.

#include <memory>
#include <optional>

#include "platform/Uuid.hpp"
#include "protocol/PeerType.hpp"

namespace ombrelia {

class WebRTCClient;

// A member of the group: its identifier at the signalling service, the service's proximity
// flags, and the connection to it.
struct Peer {
  Uuid uuid;
  // When it joined, as the service sent it; none for a peer that came with an offer.
  std::optional<double> joinDate;
  std::optional<bool> sameIP;
  std::optional<bool> sameCountry;
  std::optional<bool> sameRegion;
  std::optional<bool> sameCity;
  // None once the peer is disconnected.
  std::shared_ptr<WebRTCClient> webRTCClient;

  // The closest class a true flag gives, tested in the order ip, city, region, country; a flag
  // that is none counts as false.
  PeerType getPeerType() const {
    if (sameIP.value_or(false)) return PeerType::ip;
    if (sameCity.value_or(false)) return PeerType::city;
    if (sameRegion.value_or(false)) return PeerType::region;
    if (sameCountry.value_or(false)) return PeerType::country;
    return PeerType::unknown;
  }

  // 1.0 for a true flag, else 0.0; the peer scoring weighs them.
  double sameIPAsDouble() const { return sameIP.value_or(false) ? 1.0 : 0.0; }
  double sameCityAsDouble() const { return sameCity.value_or(false) ? 1.0 : 0.0; }
  double sameRegionAsDouble() const { return sameRegion.value_or(false) ? 1.0 : 0.0; }
};

}  // namespace ombrelia
