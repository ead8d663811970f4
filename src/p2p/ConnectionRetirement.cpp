#include "p2p/ConnectionRetirement.hpp"

#include <chrono>
#include <string>

#include "p2p/Abonnement.hpp"
#include "p2p/PeerEngineSupport.hpp"
#include "p2p/PeerMessagesEnvironment.hpp"
#include "p2p/SegmentDownloads.hpp"
#include "p2p/UploadServer.hpp"
#include "peers/SupersededConnections.hpp"

namespace ombrelia {

void ConnectionRetirement::check() {
  if (!environment_.peers || !environment_.retire) return;
  const auto now = platform::MonotonicClock::now();
  for (const auto& entry : SupersededConnections::among(environment_.peers())) {
    const Uuid& older = entry.older.uuid;
    abonnement_.follow(older, entry.newer);
    if (std::chrono::duration<double>(now - entry.since).count() < kGraceSeconds) continue;
    const bool subscribed =
        abonnement_.generationIf([&](const AbonnementPeer& a) { return a.peer.uuid == older; })
            .has_value();
    if (subscribed || downloads_.isAnyAskedOf(older) || uploads_.serves(older)) continue;
    PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
      return "peer " + older.uuidString() + " retired: superseded by " +
             entry.newer.uuid.uuidString() + ", a newer connection to the same viewer";
    });
    environment_.retire(*entry.older.webRTCClient);
  }
}

}  // namespace ombrelia
