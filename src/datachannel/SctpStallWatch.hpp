#pragma once
// One thread at a time: the transport's progress check on the GlibLoop thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace ombrelia::datachannel {

// Tells an association that has stopped retransmitting from one on a slow or silent path.
//
// usrsctp 0.9.5 can forget chunks marked for fast retransmission: a retransmission timeout that
// fires while some still wait to be sent again skips the chunks last sent within its round-trip
// estimate before it counts the marked ones, then sets its count of chunks to resend to what it
// counted. A late round-trip sample that raised the estimate while the timer ran is enough, as a
// loaded machine or a real network gives. The skipped chunks are never sent again, and once the
// rest in flight is acknowledged no timer runs: heartbeats and acknowledgements keep the
// connection alive, but the data never arrives and the send buffer stays full. No call of
// usrsctp's API makes it count again, so the connection has to end.
//
// While data is unacknowledged, a working association either sees the peer's cumulative ack
// move or its own retransmission timer fire, at least once per timeout (see kRtoMaxMs in
// SctpTransport.cpp). An outage of either direction is no stall: the timer keeps firing, backed
// off to that maximum.
class SctpStallWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // What the association shows at one check.
  struct Sample {
    Clock::time_point at;
    uint32_t unacknowledgedChunks = 0;
    // The highest cumulative ack the peer's acknowledgements have carried, once one came.
    std::optional<uint32_t> peerCumulativeAck;
    // This association's retransmission timeouts so far.
    uint32_t retransmissionTimeouts = 0;
  };

  // How long unacknowledged data may see neither kind of progress: the retransmission timer,
  // backed off to its 3 s maximum, fires three times in it.
  static constexpr std::chrono::milliseconds kStallTimeout{10000};
  // How often the transport checks: reading the association's counters once a second costs
  // nothing beside its traffic, and ends a stuck one within a second of the timeout.
  static constexpr std::chrono::milliseconds kCheckInterval{1000};
  // A longer gap between two checks means the loop that runs them was held up. It also drives
  // usrsctp's timers, so no timeout could fire in that stretch: it does not count.
  static constexpr std::chrono::milliseconds kMaxCountedGap = 2 * kCheckInterval;

  // True once the association counts as stuck.
  bool observe(const Sample& sample);
  // How long the data has waited without progress, counting only stretches the loop ran.
  std::chrono::milliseconds stalledFor() const;

  // The cumulative ack of the SACK in an SCTP packet, if it carries one.
  static std::optional<uint32_t> cumulativeAckIn(const uint8_t* packet, size_t size);
  // What a SACK tells: its cumulative ack and the receive window the peer advertises in it.
  struct Sack {
    uint32_t cumulativeAck = 0;
    uint32_t advertisedWindow = 0;
  };
  // The first SACK in an SCTP packet, if it carries a whole one.
  static std::optional<Sack> sackIn(const uint8_t* packet, size_t size);
  // Serial-number order: transmission sequence numbers wrap.
  static bool isAfter(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

 private:
  std::optional<Sample> last_;
  Clock::duration stalled_{};
};

}  // namespace ombrelia::datachannel
