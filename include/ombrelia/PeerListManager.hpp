#pragma once
// Any thread.

#include <cstdint>

#include <ombrelia/Export.hpp>

namespace ombrelia {

// The application's handle on the library's group of peers.
class OMBRELIA_API PeerListManager {
 public:
  static PeerListManager& shared();
  PeerListManager() = default;

  // Forgets every peer and closes its connection, without announcing the removals; the
  // identifier the signalling service assigned stays.
  void removeAll();
  // Peers whose data channel is open.
  int64_t connectedPeerCount() const;
};

}  // namespace ombrelia
