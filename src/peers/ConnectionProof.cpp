#include "peers/ConnectionProof.hpp"

#include <string>

namespace ombrelia {

ConnectionProofMessage ConnectionProof::statement() const {
  return ConnectionProofMessage(std::string(ConnectionProofMessage::typeString), own_.uuid, peer_,
                                own_.identities);
}

ConnectionProof::Outcome ConnectionProof::take(const ConnectionProofMessage& statement,
                                               platform::MonotonicClock::time_point now) {
  if (answered_) return Outcome::ignored;
  answered_ = true;
  // Both halves are needed: the other side's own identifier is the one this side filed it
  // under, and the identifier it knows this side by is the one this side had.
  if (statement.from() != peer_ || statement.to() != own_.uuid) return Outcome::refused;
  provenPeer_ = Identity{statement.from(), statement.identities()};
  provenAt_ = now;
  return Outcome::proven;
}

}  // namespace ombrelia
