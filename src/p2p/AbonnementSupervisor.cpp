#include "p2p/AbonnementSupervisor.hpp"

#include <string>

#include "p2p/Abonnement.hpp"
#include "p2p/PeerChain.hpp"
#include "p2p/PeerEngineSupport.hpp"
#include "p2p/PeerMessagesEnvironment.hpp"
#include "p2p/SegmentDownloads.hpp"
#include "p2p/StallCheck.hpp"
#include "p2p/UploadServer.hpp"
#include "protocol/PeerChainMessage.hpp"

namespace ombrelia {

void AbonnementSupervisor::check() {
  const double sd = static_cast<double>(environment_.segmentDuration());
  const auto b = environment_.bufferLength();
  const double t = PeerEngineSupport::now();

  // A subscription that is not answered in time, or whose channel is gone, ends here.
  if (const auto expired = abonnement_.expired(t)) {
    PeerEngineSupport::debug(OLogModule::peerMessagesController, [] {
      return std::string("subscription ended: unanswered or its channel is gone");
    });
    end_(*expired);
  }

  // Waiting uploads expire even when no segment is stored for a long time.
  uploads_.expire(t);

  // Read before the requests: a subscription made while they are looked at is not the one
  // they judge.
  const uint64_t generation = abonnement_.generation();
  const auto requests = downloads_.supervise(t, sd);
  const auto verdict = StallCheck::judge(b, sd, requests);
  if (!verdict) return;
  PeerEngineSupport::debug(OLogModule::peerMessagesController, [&] {
    std::string text = std::string("subscription stopped by the stall check: ") + verdict->rule +
                       ", buffer " + (b ? std::to_string(*b) + " s" : std::string("unknown"));
    if (verdict->request) {
      const auto& r = requests[*verdict->request];
      text += ", segment " + std::to_string(r.segmentNumber) +
              (r.answered ? " answered" : " not answered") + ", elapsed " +
              std::to_string(r.elapsed) + " s";
    }
    return text;
  });
  end_(generation);
}

void AbonnementSupervisor::takeChain(const PeerChainMessage& received, const Peer& from) {
  // Only the peer asked for the named request speaks for its chain.
  if (!downloads_.isAskedOf(received.ri(), from.uuid)) return;
  const auto personal = environment_.personalUUID();
  if (!personal) return;
  const std::string me = PeerChain::peerName(*personal);
  PeerEngineSupport::debug(OLogModule::loopDetection, [&] { return "my uuid prefix: " + me; });
  PeerEngineSupport::debug(OLogModule::loopDetection,
                           [&] { return "checking received chain: " + received.mi(); });
  if (PeerChain::isInLoop(received.mi(), me)) {
    PeerEngineSupport::debug(OLogModule::loopDetection, [&] {
      return "Stopping, we are in the loop chain: " + received.mi();
    });
    if (const auto generation = abonnement_.generationIf(
            [&](const AbonnementPeer& a) { return a.peer.uuid == from.uuid; }))
      end_(*generation);
    return;
  }
  // Stored only from the subscribed peer: it starts the chains this client sends on.
  abonnement_.takeChain(from.uuid, received.mi());
}

}  // namespace ombrelia
