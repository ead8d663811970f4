#pragma once
// One thread at a time: the owner serialises calls.

#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

namespace ombrelia::datachannel {

// The outgoing stream resets of one association, handed to SCTP one request at a time and only
// when the peer can carry each out at once.
//
// A reset request names the last data chunk sent before it, and the receiver resets only once
// it holds everything up to that chunk. usrsctp, receiving a request ahead of that data, answers
// "in progress" and parks it, but carries a parked request out only while handling a later data
// chunk whose arrival finds the gap already closed; the chunk that closes the gap is not one of
// them. When the data came out of order and nothing more follows, the request stays parked for
// good and every retransmission of it is answered "in progress" again: the channel never closes.
// So a request goes out only once the peer has acknowledged all data sent, which lets it reset
// at once, and only one is outstanding, so that streams closed meanwhile wait for the same
// condition instead of riding along in usrsctp's next request.
class StreamResetQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // Due once the messages queued before it have been handed to SCTP.
  void add(uint16_t stream);
  // The streams to request now, or none. `allAcknowledged`: the peer has acknowledged every data
  // chunk sent so far.
  std::vector<uint16_t> take(bool allAcknowledged, Clock::time_point now);
  // The outcome of the outstanding request for these streams; refused ones are asked again, a
  // bounded number of times.
  void settle(const std::vector<uint16_t>& streams, bool refused);
  // Something waits to be requested or answered.
  bool pending() const { return !waiting_.empty() || !outstanding_.empty(); }

 private:
  // Under a steady flow of data the peer never has it all: waiting that long, the request goes
  // anyway, and the data that follows it lets the peer carry it out.
  static constexpr std::chrono::milliseconds kAcknowledgementWait{1000};
  // Should no outcome come for a request (SCTP found nothing to send), it is made again.
  static constexpr std::chrono::milliseconds kOutcomeWait{5000};
  // A peer that keeps refusing or ignoring a stream's reset will not change its mind.
  static constexpr int kMaxAttempts = 4;

  std::map<uint16_t, int> waiting_;  // stream to the attempts made so far
  std::map<uint16_t, int> outstanding_;
  Clock::time_point waitingSince_;
  Clock::time_point requestedAt_;
};

}  // namespace ombrelia::datachannel
