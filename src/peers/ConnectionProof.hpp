#pragma once
// Any thread: a value; the WebRTC client that holds it guards it with its own lock.

#include <cstdint>
#include <optional>

#include "platform/MonotonicClock.hpp"
#include "platform/Uuid.hpp"
#include "protocol/ConnectionProofMessage.hpp"

namespace ombrelia {

// What ties a peer connection to the identifiers it is filed under at both of its ends.
//
// The certificate a connection proves names the process at the other end, not the identifier
// that process is known by: a participant of the signalling service that only forwards one
// viewer's negotiation to another, as if it were its own, makes the two build a genuine
// connection to each other that each files under that participant. So each side states once,
// over the opened channel (it runs over the DTLS session, out of reach of whoever forwards the
// negotiation), the identifier it had when the connection was negotiated and the one it filed
// the other side under; the other side holds both against its own view. Only the two ends can
// make the statements agree, and only when each reached the other under the identifier the
// other really had, so a connection proven this way is filed under its real far end at both.
// The identifiers are those of the negotiation, not today's: either side may have reconnected
// to the signalling service since.
class ConnectionProof {
 public:
  // One end of a connection as it was negotiated: its personal identifier then, and how many
  // personal identifiers it had had by then (one more at each signalling connection).
  struct Identity {
    Uuid uuid;
    int64_t identities = 0;
    friend bool operator==(const Identity&, const Identity&) = default;
  };

  enum class Outcome {
    proven,   // the statement agrees with this side's view
    refused,  // it does not: the connection reaches someone else than it is filed under
    ignored,  // a statement came before; only the first counts
  };

  ConnectionProof(Identity own, Uuid peer) : own_(own), peer_(peer) {}

  const Identity& own() const { return own_; }
  // The identifier this side filed the other side under.
  const Uuid& peer() const { return peer_; }
  // What this side states.
  ConnectionProofMessage statement() const;
  // Holds the other side's statement against this side's view; `now` marks when it was proven.
  Outcome take(const ConnectionProofMessage& statement, platform::MonotonicClock::time_point now);
  bool answered() const { return answered_; }

  // The other end as it stated itself, once its statement agreed.
  std::optional<Identity> provenPeer() const { return provenPeer_; }
  std::optional<platform::MonotonicClock::time_point> provenAt() const { return provenAt_; }

 private:
  Identity own_;
  Uuid peer_;
  bool answered_ = false;
  std::optional<Identity> provenPeer_;
  std::optional<platform::MonotonicClock::time_point> provenAt_;
};

}  // namespace ombrelia
