#pragma once
// Any thread: a value record; the subscription (Abonnement) reads and replaces it under its lock.

#include <optional>
#include <string>
#include <utility>

#include "p2p/AbonnementState.hpp"
#include "peers/Peer.hpp"
#include "platform/Uuid.hpp"

namespace ombrelia {

// The one uploading peer this client is subscribed to.
struct AbonnementPeer {
  AbonnementPeer() = default;
  // Memberwise, in field order.
  AbonnementPeer(AbonnementState state, Peer peer = {}, std::optional<Uuid> requetID = {},
                 double timestamp = 0, std::optional<std::string> currentChain = {})
      : state(state),
        peer(std::move(peer)),
        requetID(requetID),
        timestamp(timestamp),
        currentChain(std::move(currentChain)) {}

  AbonnementState state = AbonnementState::potential;
  // The uploading peer as it was listed when the subscription was made.
  Peer peer;
  // The "aboRequest" sent for this subscription; none until it is sent.
  std::optional<Uuid> requetID;
  // Wall-clock seconds since 1970 at creation; informative only.
  double timestamp = 0;
  // The last chain text accepted from the uploading side.
  std::optional<std::string> currentChain;
};

}  // namespace ombrelia
