#pragma once
// Any thread: written on the signalling delivery queue and the framework's callback threads,
// read everywhere. Every operation reads or replaces the list as a whole under the list's lock;
// notifications are posted, clients created and connections closed with the lock released, so
// an observer may call back into the list.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "peers/ConnectionSlots.hpp"
#include "peers/Peer.hpp"
#include "peers/PeerOwner.hpp"
#include "platform/MonotonicClock.hpp"
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
  // Connections alive or closing (ConnectionSlots): every listed peer's, and as many again still
  // giving back their sockets after a close. An offer past it is refused.
  static constexpr size_t kMaxConnections = 2 * kMaxPeers;
  // Descriptors those connections may hold. Each holds one socket per local address it gathers
  // on, and one more (the context of its ICE component): two on loopback, four on a machine with
  // three addresses, eleven on a desktop with ten (temporary IPv6 addresses, container bridges,
  // a VPN). A quarter of the 1024 a desktop application is commonly allowed, the rest left to the
  // application, its player and the proxy: all 64 connections fit up to three addresses, and a
  // desktop with ten keeps 23. An offer whose connection cannot fit is refused.
  static constexpr size_t kMaxSockets = 256;
  // Of those, the last few connections (and their descriptors) are left to peers not listed yet:
  // a peer that keeps replacing its own connection cannot hold them all in closing ones while a
  // newcomer knocks.
  static constexpr size_t kReservedForNewcomers = kMaxPeers / 4;
  // In descriptors the reserve is as large a share of the budget as in connections, an eighth,
  // or those connections' own descriptors when fewer; and never so large that a replacement
  // (the listed connection and the one that replaces it) cannot fit beside it. On a machine with
  // many local addresses eight connections' worth would be the whole budget, and even the first
  // replacement, which answers offers that crossed, would be refused.
  static constexpr size_t kReservedSocketShare =
      kMaxSockets * kReservedForNewcomers / kMaxConnections;
  // One identifier's connections alive or closing: the listed one, and the one it replaced
  // while that one closes. An offer that would make a third is refused, so offers sent back to
  // back cannot pile up connections faster than their sockets are given back.
  static constexpr size_t kMaxConnectionsPerPeer = 2;
  // A listed peer replaces its connection by a new offer at most this often after its first
  // replacement (which answers offers that crossed). An honest peer negotiates again a few times
  // a minute at most; every connection taken costs a set-up and a query to the STUN server, so
  // a faster offer is refused.
  static constexpr std::chrono::seconds kMinReplacementInterval{10};
  // The same pace holds for an identifier no longer listed: one whose connection failed (it may
  // end its own connection at will) or that was dropped for a newcomer must not come back at
  // once as a newcomer. When its last connection was made is kept for the pace interval, for
  // this many identifiers at most (a few kilobytes; past it the entry whose interval ends first
  // goes): one participant cycling through more identifiers than that within one interval gets
  // newcomers' connections anyway, which the bounds on connections and descriptors hold.
  static constexpr size_t kMaxDepartedIdentifiers = 4 * kMaxConnections;
  // A full list makes room for a newcomer by dropping the peer listed longest whose channel has
  // never opened, once it has been listed this long: a connection on a working path opens within
  // a couple of seconds, and one that does not, negotiating afresh as often as it likes, would
  // otherwise hold its place for as long as it keeps offering. A peer keeps its standing across
  // its own new offers, a channel that opened included.
  static constexpr std::chrono::seconds kEvictableAfter{5};

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
  // exchange is on, the peer is not yet listed and the list has room or can make it. It is
  // filed under `owner`, unless that one is retired; a peer filed under none is nobody's.
  void addPeer(const GroupListItem& listItem, const std::shared_ptr<PeerOwner>& owner = nullptr);
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
  // type is applied to the listed peer. Offers are refused while peer exchange is off, past the
  // bounds on connections, when the framework does not take them, and when `owner`, whose
  // signalling connection relayed it, is retired. The peer is filed under `owner`.
  void updateUserRemoteSdp(const SessionDescription& sdp, const Uuid& remotePeerID,
                           const std::shared_ptr<PeerOwner>& owner = nullptr);
  void updateUserRemoteCandidate(const IceCandidate& candidate, const Uuid& remotePeerID);
  // The first listed peer whose client is that very object.
  std::optional<Peer> peer(const WebRTCClient& with) const;
  // Removes every peer filed under `owner`, one by one as removePeer() does (posting, then
  // closing), and lists none for it from now on; the peers of any other owner stay.
  void retire(const std::shared_ptr<PeerOwner>& owner);
  // Empties the group without posting and closes every connection it held; the personal
  // identifier stays.
  void removeAll();
  // Connections made for the list whose transports are not gone yet, listed or closing, and the
  // descriptors they may hold.
  size_t connectionsAliveOrClosing() const;
  size_t socketsAliveOrClosing() const;

 private:
  using TimePoint = platform::MonotonicClock::time_point;

  // What a listed identifier has earned, kept across its own new offers.
  struct Standing {
    TimePoint since;  // first listed
    // Its listed connection replaced one of its own, by its offer.
    std::optional<TimePoint> replacedAt;
    bool opened = false;  // a channel of one of its connections opened
    // Who negotiated its listed connection; none for a peer listed by setPeers().
    std::shared_ptr<const PeerOwner> owner;

    // When its listed connection was made.
    TimePoint connectedAt() const { return replacedAt.value_or(since); }
  };

  PeerList();
  std::optional<Peer> peer(const Uuid& with) const;
  bool peerExists(const Uuid& with) const;
  static Peer peerFrom(const GroupListItem& groupListItem);
  // A slot for a new connection to `uuid` that may hold `sockets` descriptors, when the bounds
  // take it and, for a newcomer to a full list, a peer may make room (makeRoom()); none, with a
  // log line opening with `refusal`, otherwise. `replacing`: the peer is listed, and its
  // connection is about to be replaced.
  std::shared_ptr<ConnectionSlots::Slot> admit(const Uuid& uuid, bool replacing, size_t sockets,
                                               const std::string& refusal);
  // When the list is full, drops the peer evictable() names for `newcomer`, announcing it.
  void makeRoom(const Uuid& newcomer);
  // The peer listed longest among those whose channel never opened and that have been listed
  // for the bound, or none.
  std::optional<Peer> evictable() const;
  // A client for `uuid` that holds `slot` until its transports are gone, its connection within
  // the slot's descriptors.
  static std::shared_ptr<WebRTCClient> makeClient(const Uuid& uuid,
                                                  std::shared_ptr<ConnectionSlots::Slot> slot);
  // Lists a peer made outside the lock unless, meanwhile, its identifier was listed or the list
  // filled up, or its owner was retired; a peer left out has its connection closed. `earned`:
  // the standing of the listing it replaces.
  bool append(const Peer& peer, const std::shared_ptr<PeerOwner>& owner,
              std::optional<Standing> earned = std::nullopt);
  bool isRetired(const std::shared_ptr<PeerOwner>& owner) const;
  std::optional<Standing> standingOf(const Uuid& uuid) const;
  // Forgets the standing of identifiers no longer listed, keeping what the pace needs of them.
  // Under the lock.
  void forgetUnlisted();
  // Keeps, for the pace interval, when the last connection of an identifier no longer listed
  // was made. Under the lock.
  void keepDeparted(const Uuid& uuid, const Standing& standing);
  // How long ago the last connection of an identifier that left the list within the pace
  // interval was made; none for one that did not.
  std::optional<platform::MonotonicClock::duration> departedConnectionAge(const Uuid& uuid) const;
  // Descriptors of the newcomers' reserve for connections that hold `sockets` each.
  static size_t reservedSockets(size_t sockets);
  // Binds a connection negotiated now with `peer` to this client's identifier of the moment
  // (ConnectionProof); a connection negotiated before the service assigned one stays unbound.
  void bindNegotiation(WebRTCClient& client, const Uuid& peer) const;

  const std::shared_ptr<ConnectionSlots> slots_;
  mutable std::mutex mutex_;  // guards the five fields below
  std::vector<Peer> peers_;
  // Of each listed identifier.
  std::map<Uuid, Standing> standing_;
  // Of identifiers no longer listed: when their last connection was made (keepDeparted()).
  std::map<Uuid, TimePoint> departed_;
  std::optional<Uuid> personalUUID_;
  // Personal identifiers this client has had: the service assigns one at every signalling
  // connection, so a connection negotiated later counts at least as many.
  int64_t identities_ = 0;
};

}  // namespace ombrelia
