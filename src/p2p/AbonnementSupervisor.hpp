#pragma once
// Any thread: the main queue runs the check, the data-channel callback threads deliver chain
// texts. No state and no lock of its own: it reads and ends through the parts it watches.

#include <cstdint>
#include <functional>
#include <utility>

namespace ombrelia {

class Abonnement;
class PeerChainMessage;
class SegmentDownloads;
class UploadServer;
struct Peer;
struct PeerMessagesEnvironment;

// Watches the subscription: the periodic check ends it when it is left unanswered, loses its
// channel or falls behind the player, and expires stale uploads and pre-downloads on the way;
// the chain texts that come with every segment end it when its subscriptions go round in a loop.
class AbonnementSupervisor {
 public:
  // Ends the subscription of that generation (or an earlier one) and its requests.
  using EndAbonnement = std::function<void(uint64_t generation)>;

  // Every part outlives the supervisor.
  AbonnementSupervisor(const PeerMessagesEnvironment& environment, Abonnement& abonnement,
                       SegmentDownloads& downloads, UploadServer& uploads, EndAbonnement end)
      : environment_(environment),
        abonnement_(abonnement),
        downloads_(downloads),
        uploads_(uploads),
        end_(std::move(end)) {}

  // The periodic stall check.
  void check();
  // Takes the chain text an uploader sent with a segment it serves.
  void takeChain(const PeerChainMessage& received, const Peer& from);

 private:
  const PeerMessagesEnvironment& environment_;
  Abonnement& abonnement_;
  SegmentDownloads& downloads_;
  UploadServer& uploads_;
  const EndAbonnement end_;
};

}  // namespace ombrelia
