#pragma once
// Observers run on the posting thread (the signalling delivery queue); connection events arrive
// on the framework's callback threads through the peer engine. It keeps no state of its own
// beyond the signalling client and its observer tokens.

#include <chrono>
#include <memory>
#include <vector>

#include "datachannel/DCIceState.hpp"
#include "peers/LocalCandidate.hpp"
#include "platform/NotificationCenter.hpp"

namespace ombrelia {

class SignalingClient;
class WebRTCClient;
struct Peer;

// Turns the peer list's negotiation notifications into signalling messages: this side's offer
// or answer and its ICE candidates go to the remote peer through the signalling service. It
// removes a peer whose connection is lost, or that never opens its channel.
class PeerConnectionController : public std::enable_shared_from_this<PeerConnectionController> {
 public:
  // A connection whose channel is not open this long after the offer or answer went out is
  // treated as failed: it would otherwise count toward the group forever without serving.
  static constexpr std::chrono::seconds kChannelOpenTimeout{20};

  [[nodiscard]] static std::shared_ptr<PeerConnectionController> create(
      std::shared_ptr<SignalingClient> signalClient);

  void sendOffer(const Peer& peer);
  void sendAnswer(const Peer& peer);
  // Sends every local candidate collected so far, and marks the burst sent so that later ones
  // go out one by one as they are found.
  void sendCadidate(const Peer& peer);
  // A candidate found after its connection's burst is sent at once; earlier ones wait for it.
  void discoveredLocalCandidate(WebRTCClient& client, const LocalCandidate& candidate);
  // States 3, 4 and 5 (disconnected, failed, closed) disconnect and remove the peer.
  void receivedConnectionStateChange(WebRTCClient& client, datachannel::DCIceState state);

 private:
  explicit PeerConnectionController(std::shared_ptr<SignalingClient> signalClient);
  void registerObservers();
  void watchChannelOpening(const Peer& peer);
  void removePeerOf(WebRTCClient& client, const char* why);

  const std::shared_ptr<SignalingClient> signalClient_;
  std::vector<platform::ObserverToken> observers_;  // written once, in create()
};

}  // namespace ombrelia
