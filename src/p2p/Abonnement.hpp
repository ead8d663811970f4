#pragma once
// Any thread. One lock of its own, the innermost of the engine: the search and download lists
// may take it briefly under theirs, and it is never held while a message is sent.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "p2p/AbonnementPeer.hpp"
#include "peers/Peer.hpp"
#include "platform/Uuid.hpp"

namespace ombrelia {

class AbonnementRequestMessage;
class WebRTCClient;

// The one subscription this client holds as a downloader, and its "aboRequest" exchange from
// both sides. Every change of subscription moves a generation number on, so a late stop or
// choice can tell the subscription it was meant for from a newer one.
class Abonnement {
 public:
  // A subscription not confirmed this long after it was made is dropped. An "aboRequest" is
  // answered in one round trip over an open channel (well under a second on any real path);
  // while an unanswered one is kept no other peer's acceptance is taken, so a peer that never
  // answers would keep this client on the origin forever. Five seconds is close to one segment
  // of the usual six-second stream and far above any round trip.
  static constexpr double kAbonnementAnswerTolerance = 5.0;

  // The subscription's client and generation, read in one step.
  struct Subscribed {
    std::shared_ptr<WebRTCClient> client;
    Uuid peer;
    uint64_t generation = 0;
  };

  std::optional<AbonnementPeer> peer() const;
  std::optional<Subscribed> subscribed() const;
  uint64_t generation() const;

  // Makes a potential subscription to the peer unless one exists; true when it did.
  bool subscribeIfNone(const Peer& peer);
  // The generation of the subscription when it matches; none otherwise.
  std::optional<uint64_t> generationIf(
      const std::function<bool(const AbonnementPeer&)>& predicate) const;
  // Ends the subscription if it is that generation or an earlier one.
  void endUpTo(uint64_t generation);
  // A confirmed subscription to `older` goes on over `newer`, a newer connection to the same
  // viewer: the uploader serves a segment request on whichever connection it comes, so nothing
  // is asked again. Requests already sent finish where they went. True when it moved.
  bool follow(const Uuid& older, const Peer& newer);
  // The generation of a subscription left unanswered too long, or confirmed over a channel that
  // is gone: it is to end.
  std::optional<uint64_t> expired(double now) const;

  // Sends the "aboRequest" of a potential subscription over its connected channel.
  void sendRequest();
  // Answers a peer's "aboRequest".
  void answerRequest(const AbonnementRequestMessage& received, const Peer& peer) const;
  // Takes the asked peer's answer. Returns the generation to end when it refused.
  std::optional<uint64_t> takeAnswer(const Uuid& requestID, bool success, const Peer& from);
  // Keeps the chain text from the subscribed peer: it starts the chains this client sends on.
  void takeChain(const Uuid& from, const std::string& chain);

 private:
  mutable std::mutex mutex_;  // guards the subscription and the two fields after it
  std::optional<AbonnementPeer> peer_;
  uint64_t generation_ = 0;
  double since_ = 0;  // monotonic seconds at creation
};

}  // namespace ombrelia
