#pragma once
// Any thread: a value record.

#include "p2p/AbonnementState.hpp"

namespace ombrelia {

// The one uploading peer this client is subscribed to.
struct AbonnementPeer {
  AbonnementState state = AbonnementState::potential;
};

}  // namespace ombrelia
