#pragma once
// Any thread: written on the signalling delivery queue and the framework's callback threads,
// read everywhere. Every operation reads or replaces the list as a whole under the list's lock;
// notifications are posted, clients created and connections closed with the lock released, so
// an observer may call back into the list.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "peers/Peer.hpp"
#include "platform/Uuid.hpp"

namespace ombrelia {

class GroupListItem;
class WebRTCClient;
struct IceCandidate;
struct SessionDescription;

// The group of peers watching the same video, each with its WebRTC client, and this client's
// personal identifier. Adding a peer starts its connection: the notifications below let the
// negotiation send the offer, answer and candidates and let the peer engine take the client's
// events.
class PeerList {
 public:
  // A Peer: this side is to offer to it (posted before the peer is listed).
  static constexpr const char* kNewGroupPeerSendOffer = "NewGroupPeerSendOffer";
  // A Peer: its offer is applied and this side is to answer (posted before it is listed).
  static constexpr const char* kGroupPeerSendAnswer = "GroupPeerSendAnswer";
  // A Peer: this side's collected candidates are to be sent.
  static constexpr const char* kGroupPeerSendCandidate = "GroupPeerSendCandidate";
  // A Peer, once it is listed.
  static constexpr const char* kNewGroupPeer = "NewGroupPeer";
  // The Uuid of a peer about to be removed, whether or not it is listed.
  static constexpr const char* kPeerDisconected = "PeerDisconected";

  // Each peer holds a connection with its own sockets, DTLS and SCTP state; a group is a
  // handful of viewers, and this bound keeps a misbehaving tracker or a flood of offers from
  // opening connections without end.
  static constexpr size_t kMaxPeers = 32;

  static PeerList& shared();

  // A consistent copy of the group at one moment.
  std::vector<Peer> peers() const;
  // Replaces the group as it is: nothing is posted and no connection is touched.
  void setPeers(std::vector<Peer> peers);
  std::optional<Uuid> personalUUID() const;
  // A new identifier counts as one more this client has had.
  void setPersonalUUID(std::optional<Uuid> uuid);
  void updatePersonalUUID(const Uuid& uuid);

  // Adds the peer a group-list item names, with a new client that is to offer, while peer
  // exchange is on, the peer is not yet listed and the list has room.
  void addPeer(const GroupListItem& listItem);
  // Posts "PeerDisconected", then removes every peer with that identifier and closes its
  // connection at once, even while copies of the record are held elsewhere.
  void removePeer(const Uuid& uuid);
  // Posts "PeerDisconected" with the identifier of the peer holding this very client, then
  // removes that peer alone and closes the client. A newer peer of the same identifier (its
  // offer may land meanwhile) stays. Nothing happens when no listed peer holds the client.
  void removePeer(WebRTCClient& client);
  // Closes the first such peer's connection and leaves it without a client.
  void disconnectFromPeer(const Uuid& uuid);
  // An offer replaces any listed peer of that identifier by a new one that answers; any other
  // type is applied to the listed peer. Offers are refused while peer exchange is off.
  void updateUserRemoteSdp(const SessionDescription& sdp, const Uuid& remotePeerID);
  void updateUserRemoteCandidate(const IceCandidate& candidate, const Uuid& remotePeerID);
  // The first listed peer whose client is that very object.
  std::optional<Peer> peer(const WebRTCClient& with) const;
  // Empties the group without posting and closes every connection it held; the personal
  // identifier stays.
  void removeAll();

 private:
  PeerList() = default;
  std::optional<Peer> peer(const Uuid& with) const;
  bool peerExists(const Uuid& with) const;
  static Peer peerFrom(const GroupListItem& groupListItem);
  // Lists a peer made outside the lock unless, meanwhile, its identifier was listed or the list
  // filled up; a peer left out has its connection closed.
  bool append(const Peer& peer);
  // Binds a connection negotiated now with `peer` to this client's identifier of the moment
  // (ConnectionProof); a connection negotiated before the service assigned one stays unbound.
  void bindNegotiation(WebRTCClient& client, const Uuid& peer) const;

  mutable std::mutex mutex_;  // guards the three fields below
  std::vector<Peer> peers_;
  std::optional<Uuid> personalUUID_;
  // Personal identifiers this client has had: the service assigns one at every signalling
  // connection, so a connection negotiated later counts at least as many.
  int64_t identities_ = 0;
};

}  // namespace ombrelia
