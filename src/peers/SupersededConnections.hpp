#pragma once
// Any thread: stateless; it reads the clients of the peers it is given.

#include <vector>

#include "peers/Peer.hpp"
#include "platform/MonotonicClock.hpp"

namespace ombrelia {

// Connections to a remote viewer that a newer connection to the same viewer has replaced.
//
// A viewer that comes back to the signalling service gets a new personal identifier, and the
// service introduces the same viewers again under their new identifiers; a restarted service has
// forgotten the old ones and never names them for deletion. Identifiers therefore cannot tell
// that two connections reach one viewer, but the connections themselves can: every process
// presents one certificate to all its connections, and a channel opens only once the remote side
// has proved the certificate its description named. Among the open connections that proved one
// certificate, the current one is the one made under the latest identities; the others were
// made under earlier identities of one side or the other.
//
// Both ends must keep the same one, as each closes those it finds replaced, so the choice rests
// only on what both ends know of each connection, never on when it opened by either's clock
// (two that open within a round trip are seen in either order): the identities both sides had
// had when it was negotiated, added up (each side stated its count), then, between equal sums,
// the pair of identifiers, smaller first.
//
// A connection takes part only once both ends have bound it to the identifiers it is filed
// under (ConnectionProof): one that someone built by forwarding two viewers' negotiation as
// their own is filed under the forwarder, and must neither replace their own connection nor be
// replaced. A peer that never states its identifiers keeps every connection it has.
class SupersededConnections {
 public:
  struct Entry {
    Peer older;
    // The current connection to the same viewer.
    Peer newer;
    // When the newer connection was open and proven here: the older one is superseded since.
    platform::MonotonicClock::time_point since;
  };

  SupersededConnections() = delete;

  // Every listed peer whose connection is superseded, in list order.
  static std::vector<Entry> among(const std::vector<Peer>& peers);
};

}  // namespace ombrelia
