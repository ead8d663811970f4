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
//
// A request stays outstanding until its outcome comes, however long that takes. usrsctp sends
// it again on its own timer until the peer answers, so it completes once the path carries
// packets again; asking SCTP again meanwhile sends nothing (usrsctp skips streams whose reset is
// pending), and starting another request would only mark its streams to ride along.
class StreamResetQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // Due once the messages queued before it have been handed to SCTP.
  void add(uint16_t stream, Clock::time_point now);
  // The streams to request now, or none. `allAcknowledged`: the peer has acknowledged every data
  // chunk sent so far; `lastDataSent`: when data was last handed to SCTP (now, while more waits
  // to be).
  std::vector<uint16_t> take(bool allAcknowledged, Clock::time_point lastDataSent,
                             Clock::time_point now);
  // The outcome of the outstanding request for these streams (SCTP's reset event, or the
  // refusal of the call itself). Refused ones are asked again a bounded number of times; the
  // streams given up on are returned.
  std::vector<uint16_t> settle(const std::vector<uint16_t>& streams, bool refused,
                               Clock::time_point now);
  // Streams wait and no request is outstanding: only acknowledgements can let them go.
  bool due() const { return !waiting_.empty() && outstanding_.empty(); }

 private:
  // Under a steady flow of data the peer never has it all: waiting that long while the sender
  // keeps sending, the request goes anyway, and the data that follows it lets the peer carry it
  // out. Data that only waits for acknowledgement (after a loss, say) is worth waiting for:
  // sent ahead of it, the request would be parked with nothing to follow.
  static constexpr std::chrono::milliseconds kAcknowledgementWait{1000};
  // A peer that keeps refusing a stream's reset will not change its mind.
  static constexpr int kMaxAttempts = 3;

  std::map<uint16_t, int> waiting_;  // stream to the attempts made so far
  std::map<uint16_t, int> outstanding_;
  Clock::time_point dueSince_;  // when the first waiting stream could have gone
};

}  // namespace ombrelia::datachannel
