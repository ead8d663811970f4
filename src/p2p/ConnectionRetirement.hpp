#pragma once
// The main queue: the engine's periodic check runs it. No state and no lock of its own: it
// reads the parts that know what a connection carries.

namespace ombrelia {

class Abonnement;
class SegmentDownloads;
class UploadServer;
struct PeerMessagesEnvironment;

// Keeps one connection to each remote viewer however often the signalling connection comes
// back. A connection superseded by a newer one to the same viewer (SupersededConnections) hands
// the subscription over to the newer one, and is closed once nothing runs on it any more: no
// segment asked of it or sent over it, no subscription still waiting for its answer there.
// The peer at the other end, running the same rule, closes the same connection: both sides
// see the same two connections and rank them alike, by what both ends stated on each.
class ConnectionRetirement {
 public:
  // Seconds a superseded connection is kept at the least. The two sides see the newer
  // connection open and proven within a round trip of each other and move their subscription
  // over at their next check, so past this the other side asks nothing new over the older
  // connection; what it asked before keeps that connection until it is served.
  static constexpr double kGraceSeconds = 5.0;

  // Every part outlives this one.
  ConnectionRetirement(const PeerMessagesEnvironment& environment, Abonnement& abonnement,
                       const SegmentDownloads& downloads, const UploadServer& uploads)
      : environment_(environment),
        abonnement_(abonnement),
        downloads_(downloads),
        uploads_(uploads) {}

  void check();

 private:
  const PeerMessagesEnvironment& environment_;
  Abonnement& abonnement_;
  const SegmentDownloads& downloads_;
  const UploadServer& uploads_;
};

}  // namespace ombrelia
