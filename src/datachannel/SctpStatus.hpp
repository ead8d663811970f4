#pragma once
// Any thread: a plain value.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ombrelia::datachannel {

// One association as usrsctp and the transport see it at a moment: enough to tell, when a
// transfer stalls, which side holds what was sent.
struct SctpStatus {
  // usrsctp's association state (SCTP_ESTABLISHED and the like).
  int32_t state = 0;
  uint32_t congestionWindow = 0;
  // What the peer can still take, as usrsctp reckons it: its last advertised window less what
  // is in flight.
  uint32_t peerReceiveWindow = 0;
  uint32_t smoothedRttMs = 0;
  uint32_t retransmissionTimeoutMs = 0;
  // Chunks sent and not yet acknowledged, and chunks usrsctp holds that have not left yet.
  uint32_t unacknowledgedChunks = 0;
  uint32_t pendingChunks = 0;
  // What this side advertises it can still take.
  uint32_t localReceiveWindow = 0;
  // The highest cumulative ack the peer's acknowledgements have carried, once one came, and
  // this association's own retransmission timeouts.
  std::optional<uint32_t> peerCumulativeAck;
  uint32_t retransmissionTimeouts = 0;
  // Bytes the transport holds because usrsctp would take no more, and the entries holding them
  // (messages, and stream resets waiting behind them).
  size_t queuedBytes = 0;
  size_t queuedEntries = 0;
  // The memory those entries take as the transport's bound counts it.
  size_t queuedCost = 0;
  // Whole messages and their bytes that usrsctp took from us, and that it handed us.
  uint64_t messagesSent = 0;
  uint64_t bytesSent = 0;
  uint64_t messagesReceived = 0;
  uint64_t bytesReceived = 0;
  // Of those, the ones the connection has not yet delivered to their channel.
  size_t messagesAwaitingDelivery = 0;
  // Counted by usrsctp over every association of the process.
  uint32_t dataTimeouts = 0;
  uint32_t windowProbeTimeouts = 0;
  uint32_t retransmittedChunks = 0;
  uint32_t fastRetransmittedChunks = 0;
  uint32_t duplicateChunksReceived = 0;

  std::string describe() const;
};

}  // namespace ombrelia::datachannel
