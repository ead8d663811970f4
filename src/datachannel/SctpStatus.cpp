#include "datachannel/SctpStatus.hpp"

namespace ombrelia::datachannel {

std::string SctpStatus::describe() const {
  const auto n = [](auto value) { return std::to_string(value); };
  return "state " + n(state) + ", congestion window " + n(congestionWindow) +
         ", peer receive window " + n(peerReceiveWindow) + ", srtt " + n(smoothedRttMs) +
         " ms, rto " + n(retransmissionTimeoutMs) + " ms, unacknowledged chunks " +
         n(unacknowledgedChunks) + ", chunks not yet sent " + n(pendingChunks) +
         ", own receive window " + n(localReceiveWindow) + ", peer's cumulative ack " +
         (peerCumulativeAck ? n(*peerCumulativeAck) : "none yet") + ", retransmission timeouts " +
         n(retransmissionTimeouts) + ", bytes queued here " + n(queuedBytes) + " in " +
         n(queuedEntries) + " entries; sent " + n(messagesSent) + " messages (" + n(bytesSent) +
         " bytes), received " + n(messagesReceived) + " messages (" + n(bytesReceived) +
         " bytes, " + n(messagesAwaitingDelivery) +
         " not yet delivered); process-wide: " + n(dataTimeouts) + " data timeouts, " +
         n(windowProbeTimeouts) + " window probes, " + n(retransmittedChunks) +
         " chunks retransmitted (" + n(fastRetransmittedChunks) + " fast), " +
         n(duplicateChunksReceived) + " duplicate chunks received";
}

}  // namespace ombrelia::datachannel
